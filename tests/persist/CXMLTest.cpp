#include "persist/CXML.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "support/TempDir.h"

namespace velbrook {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n";
const std::string kSmiley = "\xF0\x9F\x98\x80";

class CXMLTest : public ::testing::Test {
protected:
    size_t EntryCount() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(m_dir.Dir()), {}));
    }
    test::TempDir m_dir;
};

// Names and values from torrents and peers reach the lists: whatever they hold, the file must
// load back with the same text, stored as GB18030 under its GB2312 declaration.
TEST_F(CXMLTest, WhatIsSavedLoadsBackTheSame) {
    CXML root("r");
    const std::string special = "<a & 'b' \"c\"> &amp; line1\nline2\tx\ry";
    const std::string unicode = "中文 Crème brûlée " + kSmiley;
    root.SetAttribute("v", special);
    root.SetAttribute("u", unicode);
    root.SetAttribute("control", "x\x1Fy");
    root.AddChild(std::make_unique<CXML>("t"))->SetText(special + "\nsecond\n\nfourth\r\nx");
    root.AddChild(std::make_unique<CXML>("bad name"))
        ->SetText("a\x01"
                  "b\xEF\xBF\xBF"
                  "c\xFF");
    const std::string path = m_dir / "r.xml";
    ASSERT_TRUE(CXML::SaveFile(root, path));
    const std::string bytes = ReadFile(path);
    EXPECT_EQ(bytes.rfind(kDeclaration, 0), 0u);
    EXPECT_NE(bytes.find("\xD6\xD0\xCE\xC4"), std::string::npos);  // 中文 in GB18030

    CXML loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.GetAttribute("v"), special);
    EXPECT_EQ(loaded.GetAttribute("u"), unicode);
    EXPECT_EQ(loaded.GetAttribute("control"), "x\uFFFDy");  // XML cannot hold it
    EXPECT_EQ(loaded.FindChild("t")->GetText(), root.FindChild("t")->GetText());
    EXPECT_EQ(loaded.FindChild("bad_name")->GetText(), "a\uFFFD"
                                                       "b\uFFFD"
                                                       "c\uFFFD");
}

TEST_F(CXMLTest, BadInputFailsAndLeavesNothingBehind) {
    CXML e("keep");
    e.SetAttribute("a", "1");
    e.AddChild(std::make_unique<CXML>("c"));
    EXPECT_FALSE(e.Load(m_dir / "missing.xml"));
    EXPECT_EQ(e.ChildCount(), 0u);
    EXPECT_TRUE(e.Attributes().empty());

    std::string lol = "<!DOCTYPE l [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        lol += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) {
            lol += "&l" + std::to_string(i - 1) + ";";
        }
        lol += "\">";
    }
    for (const std::string& bad :
         {std::string("<a><b></a>"), std::string("<?xml version=\"1.0\"?>"),
          kDeclaration + "<a>\x81</a>", lol + "]><a>&l9;</a>"}) {
        EXPECT_FALSE(e.LoadFromMemory(bad)) << bad;
    }
    EXPECT_FALSE(e.Load(m_dir.Dir()));
    const std::string big = m_dir / "big.xml";
    WriteFile(big, "<a>");
    fs::resize_file(big, (64u << 20) + 1);
    EXPECT_FALSE(e.Load(big));
}

// A failed write (here a file size limit, as a full disk would cut it) leaves the old file
// whole and no temporary file; a good one keeps the old file's permissions.
TEST_F(CXMLTest, SaveFileReplacesAtomically) {
    CXML root("Root");
    root.AddChild(std::make_unique<CXML>("Note"))->SetText(std::string(100000, 'n'));
    EXPECT_FALSE(CXML::SaveFile(root, m_dir / "no/such/dir.xml"));

    const std::string path = m_dir / "settings.xml";
    WriteFile(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{50000, 50000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(CXML::SaveFile(root, path) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a cut-short write succeeded";
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(EntryCount(), 1u);

    ASSERT_TRUE(CXML::SaveFile(root, path));
    EXPECT_EQ(EntryCount(), 1u);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    CXML loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.FindChild("Note")->GetText(), std::string(100000, 'n'));
}

}  // namespace
}  // namespace velbrook
