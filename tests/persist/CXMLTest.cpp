#include "persist/CXML.h"

#include "persist/TextCodec.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace velbrook {
namespace {

namespace fs = std::filesystem;

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n";
const std::string kSmiley = "\xF0\x9F\x98\x80";

class CXMLTest : public ::testing::Test {
protected:
    std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }
    static std::string ReadBytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void WriteBytes(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    size_t EntryCount() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(m_dir), {}));
    }

    test::TempDir m_temp;
    fs::path m_dir = fs::path(m_temp / "").parent_path();
};

std::unique_ptr<CXML> SmallTree() {
    auto root = std::make_unique<CXML>("Root");
    root->SetAttribute("b", "2");
    root->SetAttribute("a", "1");
    root->AddChild(std::make_unique<CXML>("Empty"));
    CXML* note = root->AddChild(std::make_unique<CXML>("Note"));
    note->SetText("hello");
    note->AddChild(std::make_unique<CXML>("Leaf"));
    return root;
}

TEST_F(CXMLTest, WriterLayout) {
    auto root = SmallTree();
    std::string indented;
    root->WriteTo(indented, 0);
    EXPECT_EQ(indented, "<Root a=\"1\" b=\"2\">\n"
                        "  <Empty/>\n"
                        "  <Note>hello\n"
                        "    <Leaf/>\n"
                        "  </Note>\n"
                        "</Root>\n");
    std::string flat;
    root->WriteTo(flat, -1);
    EXPECT_EQ(flat, "<Root a=\"1\" b=\"2\">\n<Empty/>\n<Note>hello\n<Leaf/>\n</Note>\n</Root>\n");

    const std::string path = PathOf("tree.xml");
    ASSERT_TRUE(CXML::SaveFile(*root, path));
    EXPECT_EQ(ReadBytes(path), kDeclaration + indented);
}

TEST_F(CXMLTest, AttributesStaySortedUniqueAndTrimmedOnWrite) {
    CXML e("e");
    e.SetAttribute("name", "x");
    e.SetAttribute("Size", "  padded \t");
    e.SetAttribute("Name", "first");
    e.SetAttribute("Name", "second");
    ASSERT_EQ(e.Attributes().size(), 3u);
    EXPECT_EQ(e.Attributes()[0]->m_name, "Name");
    EXPECT_EQ(e.Attributes()[1]->m_name, "Size");
    EXPECT_EQ(e.Attributes()[2]->m_name, "name");
    EXPECT_EQ(e.GetAttribute("Name"), "second");
    EXPECT_EQ(e.GetAttribute("missing"), "");

    std::string out;
    e.WriteTo(out, 0);
    EXPECT_EQ(out, "<e Name=\"second\" Size=\"padded\" name=\"x\"/>\n");
    EXPECT_EQ(e.GetAttribute("Size"), "padded");
}

TEST_F(CXMLTest, NumericAttributes) {
    CXML e("e");
    e.SetAttribute("neg", -42);
    e.SetAttribute("zero", 0);
    e.SetAttribute("mixed", " 12ab");
    e.SetAttribute("letters", "ab");
    e.SetAttributeUInt64("big", 3000000000u);
    e.SetAttributeUInt64("huge", 5000000000u);
    e.SetAttribute("long32", std::string(30, ' ') + "12");
    e.SetAttribute("long31", std::string(28, ' ') + "+12");
    e.SetAttribute("pad32", std::string(32, ' ') + "7");
    EXPECT_EQ(e.GetAttribute("neg"), "-42");
    EXPECT_EQ(e.GetAttribute("zero"), "0");
    EXPECT_EQ(e.GetAttributeInt("neg"), -42);
    EXPECT_EQ(e.GetAttributeInt("mixed"), 12);
    EXPECT_EQ(e.GetAttributeInt("letters"), 0);
    EXPECT_EQ(e.GetAttributeInt("missing"), 0);
    EXPECT_EQ(e.GetAttributeInt("huge"), static_cast<int32_t>(5000000000u % (1ull << 32)));
    EXPECT_EQ(e.GetAttributeInt64("big"), 3000000000);
    EXPECT_EQ(e.GetAttributeInt64("huge"), 5000000000);
    EXPECT_EQ(e.GetAttributeInt64("neg"), -42);
    EXPECT_EQ(e.GetAttributeInt("pad32"), 0);  // the digit lies past the first 32 characters
    EXPECT_EQ(e.GetAttributeInt64("pad32"), 7);
    EXPECT_EQ(e.GetAttributeLong("long32"), 0);
    EXPECT_EQ(e.GetAttributeLong("long31"), 12);
    EXPECT_EQ(e.GetAttributeLong("neg"), -42);
    EXPECT_EQ(e.GetAttributeLong("letters"), 0);
    EXPECT_EQ(e.GetAttributeLong("huge"), INT32_MAX);
}

TEST_F(CXMLTest, ChildrenAndCursor) {
    CXML parent("p");
    EXPECT_EQ(parent.AddChild(nullptr), nullptr);
    CXML* unnamed = parent.AddChild(std::make_unique<CXML>());
    CXML* second = parent.AddChild(std::make_unique<CXML>("second"));
    CXML* third = parent.AddChild(std::make_unique<CXML>("third"));
    EXPECT_EQ(unnamed->GetName(), "Unknown");
    EXPECT_EQ(second->GetParent(), &parent);
    EXPECT_EQ(parent.FindChild("third"), third);
    EXPECT_EQ(parent.FindChild("Third"), nullptr);

    EXPECT_EQ(parent.GetFirstChild(), unnamed);
    EXPECT_EQ(parent.GetNextChild(), second);
    EXPECT_EQ(parent.GetFirstChild(), unnamed);
    std::unique_ptr<CXML> removed = parent.RemoveChild(second);
    ASSERT_EQ(removed.get(), second);
    EXPECT_EQ(removed->GetParent(), nullptr);
    EXPECT_EQ(parent.GetNextChild(), nullptr);  // unset, rather than moving on to `third`
    EXPECT_EQ(parent.RemoveChild(second), nullptr);
    EXPECT_EQ(parent.ChildCount(), 2u);

    // Deleting a child directly takes it out of its parent.
    delete unnamed;
    EXPECT_EQ(parent.ChildCount(), 1u);
    EXPECT_EQ(parent.GetFirstChild(), third);
}

TEST_F(CXMLTest, AdoptChildMovesBetweenParents) {
    CXML a("a");
    CXML b("b");
    CXML* x = a.AddChild(std::make_unique<CXML>("x"));
    CXML* y = a.AddChild(std::make_unique<CXML>("y"));
    x->AddChild(std::make_unique<CXML>("inner"));
    EXPECT_EQ(b.AdoptChild(x), x);
    EXPECT_EQ(x->GetParent(), &b);
    EXPECT_EQ(a.ChildCount(), 1u);
    EXPECT_EQ(x->FindChild("inner")->GetParent(), x);
    // Within one parent it moves to the end.
    a.AddChild(std::make_unique<CXML>("z"));
    EXPECT_EQ(a.AdoptChild(y), y);
    EXPECT_EQ(a.GetFirstChild()->GetName(), "z");
    // An element cannot take in its own ancestor, nor one that no tree owns.
    EXPECT_EQ(x->FindChild("inner")->AdoptChild(x), nullptr);
    EXPECT_EQ(a.AdoptChild(&b), nullptr);
    EXPECT_EQ(x->GetParent(), &b);
}

TEST_F(CXMLTest, TextAndEntitiesRoundTrip) {
    CXML root("r");
    const std::string special = "<a & 'b' \"c\">";
    root.SetAttribute("v", special);
    root.SetAttribute("lit", "&amp; stays");
    root.SetAttribute("ws", "line1\nline2\tx\ry");
    CXML* t = root.AddChild(std::make_unique<CXML>("t"));
    t->SetText(special + "\nsecond\n\nfourth\r\nx");
    std::string out;
    root.WriteTo(out, 0);
    EXPECT_NE(out.find("v=\"&lt;a &amp; &apos;b&apos; &quot;c&quot;&gt;\""), std::string::npos);

    const std::string path = PathOf("entities.xml");
    ASSERT_TRUE(CXML::SaveFile(root, path));
    CXML loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.GetAttribute("v"), special);
    EXPECT_EQ(loaded.GetAttribute("lit"), "&amp; stays");
    EXPECT_EQ(loaded.GetAttribute("ws"), "line1\nline2\tx\ry");
    EXPECT_EQ(loaded.FindChild("t")->GetText(), t->GetText());
}

TEST_F(CXMLTest, UnicodeRoundTripStoredAsGb18030) {
    CXML root("Task");
    const std::string text = "中文 Crème brûlée " + kSmiley;
    root.SetAttribute("name", text);
    root.AddChild(std::make_unique<CXML>("Comment"))->SetText(text);
    const std::string path = PathOf("unicode.xml");
    ASSERT_TRUE(CXML::SaveFile(root, path));
    const std::string bytes = ReadBytes(path);
    EXPECT_NE(bytes.find("\xD6\xD0\xCE\xC4"), std::string::npos);  // 中文 in GB18030
    EXPECT_EQ(bytes.find("中文"), std::string::npos);
    EXPECT_FALSE(IsValidUtf8(bytes));

    CXML loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.GetName(), "Task");
    EXPECT_EQ(loaded.GetAttribute("name"), text);
    EXPECT_EQ(loaded.FindChild("Comment")->GetText(), text);
}

TEST_F(CXMLTest, ReaderEncodings) {
    CXML e;
    // A GB2312 declaration with a character only GB18030 has.
    const std::string smileyGb = Utf8ToGb18030(kSmiley);
    ASSERT_EQ(smileyGb.size(), 4u);
    ASSERT_TRUE(e.LoadFromMemory(kDeclaration + "<a v=\"" + smileyGb + "\">\xD6\xD0</a>"));
    EXPECT_EQ(e.GetAttribute("v"), kSmiley);
    EXPECT_EQ(e.GetText(), "中");
    // Other declarations are honoured; no declaration means UTF-8.
    ASSERT_TRUE(e.LoadFromMemory("<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xE9</a>"));
    EXPECT_EQ(e.GetText(), "café");
    ASSERT_TRUE(e.LoadFromMemory("<a>中</a>"));
    EXPECT_EQ(e.GetText(), "中");
}

TEST_F(CXMLTest, UnwritableCharactersBecomeReplacement) {
    CXML root("r");
    root.SetText("a\x01"
                 "b\xEF\xBF\xBF"
                 "c\xFF");
    root.SetAttribute("v", "x\x1Fy");
    root.AddChild(std::make_unique<CXML>("bad name"));
    const std::string path = PathOf("control.xml");
    ASSERT_TRUE(CXML::SaveFile(root, path));
    CXML loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.GetText(), "a\uFFFD"
                                "b\uFFFD"
                                "c\uFFFD");
    EXPECT_EQ(loaded.GetAttribute("v"), "x\uFFFDy");
    EXPECT_EQ(loaded.FindChild("bad_name")->GetParent(), &loaded);
}

TEST_F(CXMLTest, BadInputFailsAndEmpties) {
    CXML e("keep");
    e.SetAttribute("a", "1");
    e.AddChild(std::make_unique<CXML>("c"));
    EXPECT_FALSE(e.Load(PathOf("missing.xml")));
    EXPECT_EQ(e.GetName(), "keep");
    EXPECT_EQ(e.ChildCount(), 0u);
    EXPECT_TRUE(e.Attributes().empty());

    EXPECT_FALSE(e.LoadFromMemory("<a><b></a>"));
    EXPECT_FALSE(e.LoadFromMemory("<?xml version=\"1.0\"?>"));
    EXPECT_FALSE(e.LoadFromMemory(kDeclaration + "<a>\x81</a>"));
    EXPECT_FALSE(e.Load(m_dir.string()));

    std::string lol = "<!DOCTYPE l [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        lol += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) {
            lol += "&l" + std::to_string(i - 1) + ";";
        }
        lol += "\">";
    }
    EXPECT_FALSE(e.LoadFromMemory(lol + "]><a>&l9;</a>"));

    const std::string big = PathOf("big.xml");
    WriteBytes(big, "<a>");
    fs::resize_file(big, (64u << 20) + 1);
    EXPECT_FALSE(e.Load(big));
}

TEST_F(CXMLTest, SaveFileReplacesAtomically) {
    auto root = SmallTree();
    EXPECT_FALSE(CXML::SaveFile(*root, PathOf("no/such/dir.xml")));
    fs::create_directory(PathOf("taken"));
    EXPECT_FALSE(CXML::SaveFile(*root, PathOf("taken")));
    EXPECT_EQ(EntryCount(), 1u);

    const std::string path = PathOf("settings.xml");
    WriteBytes(path, "old");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(CXML::SaveFile(*root, path));
    ASSERT_TRUE(CXML::SaveFile(*root, path));
    EXPECT_EQ(EntryCount(), 2u);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    CXML loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.FindChild("Note")->GetText(), "hello");

    const std::string fresh = PathOf("fresh.xml");
    ASSERT_TRUE(CXML::SaveFile(*root, fresh));
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    EXPECT_TRUE(CXML::IsXmlParserAvailable());
}

}  // namespace
}  // namespace velbrook
