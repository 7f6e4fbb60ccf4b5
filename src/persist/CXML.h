// The element tree through which every stored file is read and written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velbrook {

class CAttribute {
public:
    CAttribute(std::string name, std::string value)
        : m_name(std::move(name)), m_value(std::move(value)) {}
    std::string m_name;
    std::string m_value;
};

class CXML {
public:
    CXML();
    explicit CXML(std::string name);
    ~CXML();  // leaves its parent's children first, then destroys its subtree
    CXML(const CXML&) = delete;
    CXML& operator=(const CXML&) = delete;

    void SetName(std::string name) { m_name = std::move(name); }
    const std::string& GetName() const { return m_name; }
    void SetText(std::string text) { m_text = std::move(text); }
    const std::string& GetText() const { return m_text; }
    CXML* GetParent() const { return m_parent; }

    // Appends and takes ownership; a null child is ignored, an unnamed one becomes "Unknown".
    // Returns the child (or null).
    CXML* AddChild(std::unique_ptr<CXML> child);
    // Moves a child that belongs to another element (or to this one) to the end of this one.
    CXML* AdoptChild(CXML* child);
    // Detaches the child and hands it back; null when it is not a child of this element.
    // Unsets the child cursor.
    std::unique_ptr<CXML> RemoveChild(CXML* child);
    CXML* GetFirstChild();
    CXML* GetNextChild();
    // First child whose name equals `name` exactly (walks with the child cursor).
    CXML* FindChild(std::string_view name);
    size_t ChildCount() const { return m_children.size(); }
    // Destroys every attribute and child and empties the text; the name stays.
    void Clear();

    void SetAttribute(const std::string& name, const std::string& value);
    void SetAttribute(const std::string& name, const char* value);
    void SetAttribute(const std::string& name, int32_t value);
    // Full 64-bit unsigned decimal, the form of every length, size and offset.
    void SetAttributeUInt64(const std::string& name, uint64_t value);
    std::string GetAttribute(std::string_view name) const;
    int32_t GetAttributeInt(std::string_view name) const;
    int64_t GetAttributeInt64(std::string_view name) const;
    int32_t GetAttributeLong(std::string_view name) const;
    const std::vector<std::unique_ptr<CAttribute>>& Attributes() const { return m_attributes; }

    // Reads an XML file (any declared encoding; GB2312 read as GB18030) and rebuilds this element
    // from its root. False, with this element emptied, when there is no root element.
    [[nodiscard]] bool Load(const std::string& path);
    [[nodiscard]] bool LoadFromMemory(std::string_view bytes);
    // Appends this element's text (GB18030) to `out`; depth 0 for a root, -1 for no indentation.
    void WriteTo(std::string& out, int depth);
    // Declaration + tree, replacing `path` atomically. False when anything failed to write.
    // False, with errno telling why, when the file could not be replaced.
    [[nodiscard]] static bool SaveFile(CXML& root, const std::string& path);
    // Removes what SaveFile leaves behind when the process dies in the middle of it: regular
    // files in `folder` named "<name>.tmp-XXXXXX" for a name that `isOurs` accepts.
    static void RemoveTemporaries(const std::string& folder,
                                  const std::function<bool(std::string_view)>& isOurs);
    static bool IsXmlParserAvailable();

private:
    // The tree as UTF-8 text, before the characters XML cannot carry are replaced and the
    // whole is converted to GB18030.
    void AppendUtf8(std::string& out, int depth);

    std::string m_name;
    std::string m_text;
    CXML* m_parent = nullptr;
    std::vector<std::unique_ptr<CXML>> m_children;
    std::vector<std::unique_ptr<CAttribute>> m_attributes;
    size_t m_childCursor = 0;  // index of the current child; npos when unset
};

}  // namespace velbrook
