#include "version/version_block.h"

#include <cstdio>

namespace quintrel {

namespace {

constexpr std::size_t kHeaderSize = 6;
constexpr std::uint16_t kBinary = 0;
constexpr std::uint16_t kText = 1;

std::size_t Align4(std::size_t offset) {
    return (offset + 3) & ~std::size_t{3};
}

struct TNode {
    std::string Key;
    std::vector<std::uint8_t> Value;
    std::uint16_t Type = kText;
    std::vector<TNode> Children;
};

void PutU16(std::vector<std::uint8_t>& out, std::size_t at, std::size_t value) {
    out[at] = static_cast<std::uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

void Serialize(const TNode& node, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.resize(start + kHeaderSize);
    out.insert(out.end(), node.Key.begin(), node.Key.end());
    out.push_back(0);
    out.resize(Align4(out.size()));
    out.insert(out.end(), node.Value.begin(), node.Value.end());
    for (const TNode& child : node.Children) {
        out.resize(Align4(out.size()));
        Serialize(child, out);
    }
    PutU16(out, start, out.size() - start);
    PutU16(out, start + 2, node.Value.size());
    PutU16(out, start + 4, node.Type);
}

TNode TextNode(const std::string& key, const std::string& text) {
    TNode node{.Key = key, .Value = {text.begin(), text.end()}, .Type = kText, .Children = {}};
    node.Value.push_back(0);
    return node;
}

// One node as found in a block, all offsets checked against the enclosing node.
struct TNodeView {
    std::size_t End = 0;
    std::string_view Key;
    std::size_t ValueStart = 0;
    std::size_t ValueLength = 0;
    std::size_t ChildrenStart = 0;
};

std::optional<TNodeView> ReadNode(std::span<const std::uint8_t> block, std::size_t at,
                                  std::size_t limit) {
    if (at > limit || limit - at < kHeaderSize) return std::nullopt;
    const std::size_t length = block[at] | (block[at + 1] << 8);
    const std::size_t valueLength = block[at + 2] | (block[at + 3] << 8);
    if (length < kHeaderSize || length > limit - at) return std::nullopt;
    TNodeView view;
    view.End = at + length;
    const std::size_t keyStart = at + kHeaderSize;
    std::size_t keyEnd = keyStart;
    while (keyEnd < view.End && block[keyEnd] != 0)
        ++keyEnd;
    if (keyEnd == view.End) return std::nullopt;
    view.Key =
        std::string_view(reinterpret_cast<const char*>(block.data() + keyStart), keyEnd - keyStart);
    view.ValueStart = Align4(keyEnd + 1);
    view.ValueLength = valueLength;
    if (valueLength > 0 && (view.ValueStart > view.End || valueLength > view.End - view.ValueStart))
        return std::nullopt;
    view.ChildrenStart = Align4(view.ValueStart + valueLength);
    return view;
}

bool SameKey(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

} // namespace

std::vector<std::uint8_t> BuildVersionBlock(const TVersionResource& resource) {
    TNode strings{.Key = "StringFileInfo", .Value = {}, .Type = kText, .Children = {}};
    for (const TVersionStringTable& table : resource.Tables) {
        TNode tableNode{.Key = table.Name, .Value = {}, .Type = kText, .Children = {}};
        for (const auto& [key, text] : table.Strings)
            tableNode.Children.push_back(TextNode(key, text));
        strings.Children.push_back(std::move(tableNode));
    }
    TNode translation{.Key = "Translation", .Value = {}, .Type = kBinary, .Children = {}};
    for (const TVersionTranslation& t : resource.Translations) {
        for (std::uint16_t word : {t.Language, t.CodePage}) {
            translation.Value.push_back(static_cast<std::uint8_t>(word & 0xFF));
            translation.Value.push_back(static_cast<std::uint8_t>(word >> 8));
        }
    }
    TNode vars{.Key = "VarFileInfo", .Value = {}, .Type = kText, .Children = {}};
    if (!resource.Translations.empty()) vars.Children.push_back(std::move(translation));

    TNode root{.Key = "VS_VERSION_INFO", .Value = {}, .Type = kBinary, .Children = {}};
    root.Children.push_back(std::move(strings));
    root.Children.push_back(std::move(vars));
    std::vector<std::uint8_t> block;
    Serialize(root, block);
    return block;
}

std::optional<std::span<const std::uint8_t>> QueryVersionValue(std::span<const std::uint8_t> block,
                                                               std::string_view subBlock) {
    std::optional<TNodeView> node = ReadNode(block, 0, block.size());
    while (node && !subBlock.empty()) {
        while (!subBlock.empty() && subBlock.front() == '\\')
            subBlock.remove_prefix(1);
        if (subBlock.empty()) break;
        const std::size_t slash = subBlock.find('\\');
        const std::string_view key = subBlock.substr(0, slash);
        subBlock.remove_prefix(slash == std::string_view::npos ? subBlock.size() : slash);

        std::optional<TNodeView> found;
        for (std::size_t at = node->ChildrenStart; at < node->End && !found;) {
            const std::optional<TNodeView> child = ReadNode(block, at, node->End);
            if (!child) return std::nullopt;
            if (SameKey(child->Key, key)) found = child;
            at = Align4(child->End);
        }
        node = found;
    }
    if (!node) return std::nullopt;
    if (node->ValueLength == 0) return std::span<const std::uint8_t>{};
    return block.subspan(node->ValueStart, node->ValueLength);
}

std::optional<TVersionTranslation> QueryVersionTranslation(std::span<const std::uint8_t> block) {
    const auto value = QueryVersionValue(block, "\\VarFileInfo\\Translation");
    if (!value || value->size() < 4) return std::nullopt;
    const auto& v = *value;
    return TVersionTranslation{.Language = static_cast<std::uint16_t>(v[0] | (v[1] << 8)),
                               .CodePage = static_cast<std::uint16_t>(v[2] | (v[3] << 8))};
}

std::string VersionStringPath(TVersionTranslation translation, std::string_view key) {
    char table[16];
    std::snprintf(table, sizeof table, "%04X%04X", translation.Language, translation.CodePage);
    return "\\StringFileInfo\\" + std::string(table) + "\\" + std::string(key);
}

std::string QueryVersionString(std::span<const std::uint8_t> block, std::string_view subBlock) {
    const auto value = QueryVersionValue(block, subBlock);
    if (!value) return {};
    std::string text(value->begin(), value->end());
    return text.substr(0, text.find('\0'));
}

} // namespace quintrel
