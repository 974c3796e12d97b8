# Installs the Debian packages Quintrel needs, only those missing.
# Sourced by tools/run (what building and running need), tools/test and tools/fuzz (that and
# what the tests need).
quintrel_run_packages=(build-essential cmake ninja-build qt6-base-dev qt6-serialport-dev ieee-data)
quintrel_test_packages=(libgtest-dev socat xvfb xauth x11-utils clang libclang-rt-14-dev
                        dbus-bin dbus-daemon at-spi2-core)

# quintrel_install_packages PACKAGE...: installs those of the packages that are missing.
quintrel_install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" != "install ok installed" ]; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# Everything the build and the tests need, and any packages named.
quintrel_install_deps() {
    quintrel_install_packages "${quintrel_run_packages[@]}" "${quintrel_test_packages[@]}" "$@"
}
