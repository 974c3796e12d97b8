# Installs the Debian packages the build and the tests need, only those missing.
# Sourced by tools/test and tools/run.
quintrel_install_deps() {
    local wanted=(build-essential cmake ninja-build qt6-base-dev qt6-serialport-dev
                  libgtest-dev socat xvfb xauth x11-utils ieee-data clang libclang-rt-14-dev
                  dbus-bin dbus-daemon at-spi2-core)
    local missing=()
    local pkg
    for pkg in "${wanted[@]}" "$@"; do
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
