#include "persist/CXML.h"

#include "persist/DurableFile.h"
#include "persist/TextCodec.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace velbrook {

namespace {

constexpr size_t kNoCursor = static_cast<size_t>(-1);
// Larger files are refused rather than read into memory.
constexpr size_t kMaxFileSize = 64u << 20;
// libxml2 already stops at 256 levels; this keeps our own recursion bounded regardless.
constexpr int kMaxDepth = 1024;
// Nesting of entity references inside entity content (libxml2 rejects loops, not depth).
constexpr int kMaxEntityDepth = 64;
constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n";
constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// ---- writing ----

void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '\'':
            out += "&apos;";
            break;
        case '"':
            out += "&quot;";
            break;
        // A parser turns a raw CR into LF, and raw tab/LF in an attribute into spaces: keep
        // them as character references so they come back as they were.
        case '\r':
            out += "&#13;";
            break;
        case '\t':
            out += attribute ? "&#9;" : "\t";
            break;
        case '\n':
            out += attribute ? "&#10;" : "\n";
            break;
        default:
            out += c;
        }
    }
}

// Decodes the code point at `pos` of valid UTF-8 and advances `pos`.
uint32_t NextCodePoint(std::string_view text, size_t& pos) {
    const auto byte = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(text[i]));
    };
    const uint32_t lead = byte(pos);
    if (lead < 0x80) {
        pos += 1;
        return lead;
    }
    if (lead < 0xE0) {
        const uint32_t cp = ((lead & 0x1F) << 6) | (byte(pos + 1) & 0x3F);
        pos += 2;
        return cp;
    }
    if (lead < 0xF0) {
        const uint32_t cp =
            ((lead & 0x0F) << 12) | ((byte(pos + 1) & 0x3F) << 6) | (byte(pos + 2) & 0x3F);
        pos += 3;
        return cp;
    }
    const uint32_t cp = ((lead & 0x07) << 18) | ((byte(pos + 1) & 0x3F) << 12) |
                        ((byte(pos + 2) & 0x3F) << 6) | (byte(pos + 3) & 0x3F);
    pos += 4;
    return cp;
}

bool IsXmlChar(uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

bool IsNameStartChar(uint32_t cp) {
    return cp == ':' || cp == '_' || (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z') ||
           (cp >= 0xC0 && cp <= 0xD6) || (cp >= 0xD8 && cp <= 0xF6) ||
           (cp >= 0xF8 && cp <= 0x2FF) || (cp >= 0x370 && cp <= 0x37D) ||
           (cp >= 0x37F && cp <= 0x1FFF) || (cp >= 0x200C && cp <= 0x200D) ||
           (cp >= 0x2070 && cp <= 0x218F) || (cp >= 0x2C00 && cp <= 0x2FEF) ||
           (cp >= 0x3001 && cp <= 0xD7FF) || (cp >= 0xF900 && cp <= 0xFDCF) ||
           (cp >= 0xFDF0 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0xEFFFF);
}

bool IsNameChar(uint32_t cp) {
    return IsNameStartChar(cp) || cp == '-' || cp == '.' || (cp >= '0' && cp <= '9') ||
           cp == 0xB7 || (cp >= 0x300 && cp <= 0x36F) || (cp >= 0x203F && cp <= 0x2040);
}

// Every name the parser produced is already valid; a name set by the program that is not would
// make the whole file unreadable, so its offending characters are written as '_'.
std::string XmlName(std::string_view name) {
    if (name.empty()) {
        return "Unknown";
    }
    const std::string valid = ReplaceInvalidUtf8(name);
    std::string out;
    size_t pos = 0;
    while (pos < valid.size()) {
        const size_t start = pos;
        const uint32_t cp = NextCodePoint(valid, pos);
        if (start == 0 && !IsNameStartChar(cp)) {
            out += '_';
            if (!IsNameChar(cp)) {
                continue;
            }
        } else if (!IsNameChar(cp)) {
            out += '_';
            continue;
        }
        out.append(valid, start, pos - start);
    }
    return out;
}

// Repairs invalid UTF-8 and replaces the characters XML 1.0 cannot carry, so the file that
// is written always parses again.
std::string ToXmlChars(std::string_view text) {
    const std::string valid = ReplaceInvalidUtf8(text);
    std::string out;
    out.reserve(valid.size());
    size_t pos = 0;
    while (pos < valid.size()) {
        const size_t start = pos;
        const uint32_t cp = NextCodePoint(valid, pos);
        if (IsXmlChar(cp)) {
            out.append(valid, start, pos - start);
        } else {
            out += kReplacementUtf8;
        }
    }
    return out;
}

// ---- files ----

bool ReadWholeFile(const std::string& path, std::string& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) <= kMaxFileSize;
    out.clear();
    if (ok) {
        // The size may change under us: read to the end, but never past the limit.
        out.resize(static_cast<size_t>(st.st_size) + 1);
        size_t used = 0;
        for (;;) {
            if (used == out.size()) {
                if (out.size() > kMaxFileSize) {
                    ok = false;
                    break;
                }
                out.resize(std::min(out.size() * 2, kMaxFileSize + 1));
            }
            const ssize_t n = read(fd, out.data() + used, out.size() - used);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                ok = false;
                break;
            }
            if (n == 0) {
                break;
            }
            used += static_cast<size_t>(n);
        }
        out.resize(ok ? used : 0);
    }
    close(fd);
    return ok;
}

// ---- reading ----

void IgnoreGenericError(void*, const char*, ...) {}
void IgnoreStructuredError(void*, xmlErrorPtr) {}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
               return lower(x) == lower(y);
           });
}

// True when the XML declaration names GB2312. Such files are read as GB18030, which contains
// GB2312 and also every character our writer may have produced.
bool DeclaresGb2312(std::string_view bytes) {
    if (bytes.substr(0, 5) != "<?xml") {
        return false;
    }
    const size_t end = bytes.substr(0, 1024).find("?>");
    if (end == std::string_view::npos) {
        return false;
    }
    std::string_view decl = bytes.substr(0, end);
    const size_t key = decl.find("encoding");
    if (key == std::string_view::npos) {
        return false;
    }
    decl.remove_prefix(key + 8);
    while (!decl.empty() && IsSpace(decl.front())) {
        decl.remove_prefix(1);
    }
    if (decl.empty() || decl.front() != '=') {
        return false;
    }
    decl.remove_prefix(1);
    while (!decl.empty() && IsSpace(decl.front())) {
        decl.remove_prefix(1);
    }
    if (decl.empty() || (decl.front() != '"' && decl.front() != '\'')) {
        return false;
    }
    const char quote = decl.front();
    decl.remove_prefix(1);
    const size_t close = decl.find(quote);
    return close != std::string_view::npos && EqualsIgnoringCase(decl.substr(0, close), "GB2312");
}

const char* Chars(const xmlChar* text) {
    return text ? reinterpret_cast<const char*>(text) : "";
}

// Builds elements from a parsed document. The text it gathers, entity expansions included, is
// limited in total so that a small file cannot expand into a huge tree.
class TreeBuilder {
public:
    explicit TreeBuilder(size_t textBudget) : m_budget(textBudget) {}

    bool Build(CXML& target, const xmlNode* node, int depth) {
        if (depth > kMaxDepth) {
            return false;
        }
        target.SetName(Chars(node->name));
        for (const xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
            std::string value;
            if (!AppendText(value, attr->children, 0)) {
                return false;
            }
            target.SetAttribute(Chars(attr->name), value);
        }
        std::string text;
        if (!AppendText(text, node->children, 0)) {
            return false;
        }
        target.SetText(std::string(Trim(text)));
        for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
            if (child->type != XML_ELEMENT_NODE) {
                continue;
            }
            CXML* added = target.AddChild(std::make_unique<CXML>(Chars(child->name)));
            if (!Build(*added, child, depth + 1)) {
                return false;
            }
        }
        return true;
    }

private:
    // The element's own text: its text and CDATA children and the internal entities it refers
    // to. Text inside child elements belongs to those children.
    bool AppendText(std::string& out, const xmlNode* node, int entityDepth) {
        for (; node != nullptr; node = node->next) {
            switch (node->type) {
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                if (!Append(out, Chars(node->content))) {
                    return false;
                }
                break;
            case XML_ENTITY_REF_NODE: {
                if (entityDepth >= kMaxEntityDepth) {
                    return false;
                }
                const xmlEntity* entity = xmlGetDocEntity(node->doc, node->name);
                if (entity == nullptr) {
                    break;
                }
                if (entity->etype == XML_INTERNAL_PREDEFINED_ENTITY) {
                    if (!Append(out, Chars(entity->content))) {
                        return false;
                    }
                } else if (entity->etype == XML_INTERNAL_GENERAL_ENTITY &&
                           !AppendText(out, entity->children, entityDepth + 1)) {
                    return false;
                }
                break;
            }
            case XML_ELEMENT_NODE:
                // Markup inside an entity's replacement text has no element of its own here.
                if (entityDepth > 0 && !AppendText(out, node->children, entityDepth + 1)) {
                    return false;
                }
                break;
            default:
                break;
            }
        }
        return true;
    }

    bool Append(std::string& out, const char* text) {
        const size_t len = std::strlen(text);
        if (len > m_budget) {
            return false;
        }
        m_budget -= len;
        out.append(text, len);
        return true;
    }

    size_t m_budget;
};

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

}  // namespace

// ---- tree ----

CXML::CXML() : m_childCursor(kNoCursor) {}

CXML::CXML(std::string name) : m_name(std::move(name)), m_childCursor(kNoCursor) {}

CXML::~CXML() {
    if (m_parent != nullptr) {
        // Deleted directly while the parent still owns it: drop that ownership without
        // deleting a second time.
        auto& siblings = m_parent->m_children;
        const auto it =
            std::find_if(siblings.begin(), siblings.end(),
                         [this](const std::unique_ptr<CXML>& c) { return c.get() == this; });
        if (it != siblings.end()) {
            (void)it->release();
            siblings.erase(it);
            m_parent->m_childCursor = kNoCursor;
        }
        m_parent = nullptr;
    }
    Clear();
}

CXML* CXML::AddChild(std::unique_ptr<CXML> child) {
    if (!child) {
        return nullptr;
    }
    if (child->m_name.empty()) {
        child->m_name = "Unknown";
    }
    child->m_parent = this;
    m_children.push_back(std::move(child));
    return m_children.back().get();
}

CXML* CXML::AdoptChild(CXML* child) {
    // Without a parent nobody here owns the element, and adopting an ancestor (or oneself)
    // would make the tree own itself.
    if (child == nullptr || child->m_parent == nullptr) {
        return nullptr;
    }
    for (const CXML* up = this; up != nullptr; up = up->m_parent) {
        if (up == child) {
            return nullptr;
        }
    }
    return AddChild(child->m_parent->RemoveChild(child));
}

std::unique_ptr<CXML> CXML::RemoveChild(CXML* child) {
    const auto it =
        std::find_if(m_children.begin(), m_children.end(),
                     [child](const std::unique_ptr<CXML>& c) { return c.get() == child; });
    if (child == nullptr || it == m_children.end()) {
        return nullptr;
    }
    std::unique_ptr<CXML> removed = std::move(*it);
    m_children.erase(it);
    removed->m_parent = nullptr;
    m_childCursor = kNoCursor;
    return removed;
}

CXML* CXML::GetFirstChild() {
    m_childCursor = 0;
    return m_children.empty() ? nullptr : m_children.front().get();
}

CXML* CXML::GetNextChild() {
    if (m_childCursor == kNoCursor || m_childCursor >= m_children.size()) {
        return nullptr;
    }
    ++m_childCursor;
    return m_childCursor < m_children.size() ? m_children[m_childCursor].get() : nullptr;
}

CXML* CXML::FindChild(std::string_view name) {
    for (CXML* child = GetFirstChild(); child != nullptr; child = GetNextChild()) {
        if (child->m_name == name) {
            return child;
        }
    }
    return nullptr;
}

void CXML::Clear() {
    m_attributes.clear();
    m_text.clear();
    m_childCursor = kNoCursor;
    // Detach first so that no child looks for itself in a vector that is being destroyed.
    std::vector<std::unique_ptr<CXML>> children;
    children.swap(m_children);
    for (auto& child : children) {
        child->m_parent = nullptr;
    }
}

// ---- attributes ----

void CXML::SetAttribute(const std::string& name, const std::string& value) {
    const auto it = std::lower_bound(
        m_attributes.begin(), m_attributes.end(), name,
        [](const std::unique_ptr<CAttribute>& a, const std::string& n) { return a->m_name < n; });
    if (it != m_attributes.end() && (*it)->m_name == name) {
        (*it)->m_value = value;
        return;
    }
    m_attributes.insert(it, std::make_unique<CAttribute>(name, value));
}

void CXML::SetAttribute(const std::string& name, const char* value) {
    SetAttribute(name, std::string(value != nullptr ? value : ""));
}

void CXML::SetAttribute(const std::string& name, int32_t value) {
    SetAttribute(name, std::to_string(value));
}

void CXML::SetAttributeUInt64(const std::string& name, uint64_t value) {
    SetAttribute(name, std::to_string(value));
}

std::string CXML::GetAttribute(std::string_view name) const {
    const auto it = std::lower_bound(m_attributes.begin(), m_attributes.end(), name,
                                     [](const std::unique_ptr<CAttribute>& a, std::string_view n) {
                                         return std::string_view(a->m_name) < n;
                                     });
    if (it != m_attributes.end() && (*it)->m_name == name) {
        return (*it)->m_value;
    }
    return {};
}

namespace {

// Skips leading white space and an optional sign; true when the sign was "-".
bool SkipSpaceAndSign(std::string_view text, size_t& pos) {
    while (pos < text.size() && IsSpace(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    return negative;
}

// Leading whitespace, a sign and digits within the first `limit` characters; the value wraps
// modulo 2^bits of UInt, as a C runtime's conversion of an overlong number would.
template <typename UInt>
UInt ParseWrapping(std::string_view text, size_t limit) {
    text = text.substr(0, limit);
    size_t pos = 0;
    const bool negative = SkipSpaceAndSign(text, pos);
    UInt value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = static_cast<UInt>(value * 10u + static_cast<UInt>(text[pos] - '0'));
    }
    return negative ? static_cast<UInt>(UInt{0} - value) : value;
}

}  // namespace

int32_t CXML::GetAttributeInt(std::string_view name) const {
    return static_cast<int32_t>(ParseWrapping<uint32_t>(GetAttribute(name), 32));
}

int64_t CXML::GetAttributeInt64(std::string_view name) const {
    return static_cast<int64_t>(ParseWrapping<uint64_t>(GetAttribute(name), 64));
}

int32_t CXML::GetAttributeLong(std::string_view name) const {
    const std::string text = GetAttribute(name);
    if (text.size() > 31) {
        return 0;
    }
    size_t pos = 0;
    const bool negative = SkipSpaceAndSign(text, pos);
    // Out-of-range values saturate.
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = std::min<int64_t>(value * 10 + (text[pos] - '0'), limit);
    }
    return static_cast<int32_t>(negative ? -value : value);
}

// ---- writing ----

void CXML::AppendUtf8(std::string& out, int depth) {
    const std::string indent(depth > 0 ? static_cast<size_t>(depth) * 2 : 0, ' ');
    const std::string name = XmlName(m_name);
    out += indent;
    out += '<';
    out += name;
    // A name that had to be repaired must not take the place of a valid one it now equals.
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const auto& attr : m_attributes) {
        names.push_back(XmlName(attr->m_name));
        if (names.back() == attr->m_name) {
            taken.insert(names.back());
        }
    }
    for (size_t i = 0; i < m_attributes.size(); ++i) {
        CAttribute& attr = *m_attributes[i];
        if (names[i] != attr.m_name) {
            while (!taken.insert(names[i]).second) {
                names[i] += '_';
            }
        }
        attr.m_value = std::string(Trim(attr.m_value));
        out += ' ';
        out += names[i];
        out += "=\"";
        AppendEscaped(out, attr.m_value, true);
        out += '"';
    }
    if (m_children.empty() && m_text.empty()) {
        out += "/>\n";
        return;
    }
    out += m_text.empty() ? ">\n" : ">";
    if (!m_text.empty()) {
        AppendEscaped(out, m_text, false);
        if (out.back() != '\n') {
            out += '\n';
        }
    }
    for (auto& child : m_children) {
        child->AppendUtf8(out, depth < 0 ? -1 : depth + 1);
    }
    out += indent;
    out += "</";
    out += name;
    out += ">\n";
}

void CXML::WriteTo(std::string& out, int depth) {
    std::string utf8;
    AppendUtf8(utf8, depth);
    out += Utf8ToGb18030(ToXmlChars(utf8));
}

bool CXML::SaveFile(CXML& root, const std::string& path) {
    std::string data = kDeclaration;
    root.WriteTo(data, 0);
    return ReplaceFile(path, data);
}

void CXML::RemoveTemporaries(const std::string& folder,
                             const std::function<bool(std::string_view)>& isOurs) {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) {
        return;
    }
    const std::string_view suffix = kReplaceTemporarySuffix;
    constexpr size_t kRandomPart = 6;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name.size() <= suffix.size() + kRandomPart) {
            continue;
        }
        const size_t at = name.size() - kRandomPart - suffix.size();
        const std::string_view random = name.substr(at + suffix.size());
        if (name.substr(at, suffix.size()) != suffix ||
            !std::all_of(random.begin(), random.end(),
                         [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }) ||
            !isOurs(name.substr(0, at))) {
            continue;
        }
        struct stat st {};
        if (fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode)) {
            unlinkat(dirfd(dir.get()), entry->d_name, 0);
        }
    }
}

// ---- reading ----

bool CXML::Load(const std::string& path) {
    Clear();
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) {
        return false;
    }
    return LoadFromMemory(bytes);
}

bool CXML::LoadFromMemory(std::string_view bytes) {
    Clear();
    if (bytes.empty() || bytes.size() > kMaxFileSize) {
        return false;
    }
    xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
    xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
    // No network, no external DTD or entities, no entity substitution, default size limits.
    int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    const char* encoding = nullptr;
    if (DeclaresGb2312(bytes)) {
        encoding = "GB18030";
        options |= XML_PARSE_IGNORE_ENC;
    }
    const std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, encoding, options));
    if (!doc) {
        return false;
    }
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (root == nullptr) {
        return false;
    }
    TreeBuilder builder(bytes.size() * 2 + (1u << 20));
    if (!builder.Build(*this, root, 0)) {
        Clear();
        return false;
    }
    return true;
}

bool CXML::IsXmlParserAvailable() {
    xmlDoc* doc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    if (doc == nullptr) {
        return false;
    }
    xmlFreeDoc(doc);
    return true;
}

}  // namespace velbrook
