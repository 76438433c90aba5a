// The file rules of configuration documents: pending files, failed saves,
// the per-name lock and the nesting limit.
#include "config/xml_document.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "config/file_name_locks.h"
#include "temp_dir.h"

namespace {

std::string documentWith(const std::string &value)
{
    return "<Qarn Value=\"" + value + "\" />";
}

// A document whose printed text is `value` inside one element.
void fill(XmlDocument &document, const std::string &value)
{
    ASSERT_TRUE(document.parse(documentWith(value)));
}

std::string valueOf(XmlDocument &document)
{
    const char *value = document.root() ? document.root()->Attribute("Value") : nullptr;
    return value ? value : "";
}

}  // namespace

TEST(XmlDocument, SaveReplacesTheTargetAndLeavesNoPendingFile)
{
    TempDir dir;
    dir.write("core.xml", "old");
    XmlDocument document;
    fill(document, "new");
    ASSERT_TRUE(document.save(dir.file("core.xml")));
    EXPECT_EQ(dir.read("core.xml"), "<Qarn Value=\"new\" />\n");
    EXPECT_FALSE(dir.exists("core.xml.pending"));
    EXPECT_EQ(document.errorId(), 0);
}

TEST(XmlDocument, MissingFileFailsWithCodeTwo)
{
    TempDir dir;
    XmlDocument document;
    EXPECT_FALSE(document.load(dir.file("core.xml")));
    EXPECT_EQ(document.errorId(), 2);
    EXPECT_EQ(document.errorText(), "Failed to open file");
}

TEST(XmlDocument, LoadAdoptsAPendingFileThatParses)
{
    TempDir dir;
    dir.write("core.xml", documentWith("old"));
    dir.write("core.xml.pending", documentWith("interrupted"));
    XmlDocument document;
    ASSERT_TRUE(document.load(dir.file("core.xml")));
    EXPECT_EQ(valueOf(document), "interrupted");
    EXPECT_FALSE(dir.exists("core.xml.pending"));
    EXPECT_EQ(dir.read("core.xml"), documentWith("interrupted"));
}

TEST(XmlDocument, HalfWrittenPendingFileIsIgnoredUntilTheNextSave)
{
    TempDir dir;
    dir.write("core.xml", documentWith("old"));
    dir.write("core.xml.pending", "<Qarn><Modules><Mod");
    XmlDocument document;
    ASSERT_TRUE(document.load(dir.file("core.xml")));
    EXPECT_EQ(valueOf(document), "old");
    EXPECT_TRUE(dir.exists("core.xml.pending"));

    fill(document, "new");
    ASSERT_TRUE(document.save(dir.file("core.xml")));
    EXPECT_FALSE(dir.exists("core.xml.pending"));
    ASSERT_TRUE(document.load(dir.file("core.xml")));
    EXPECT_EQ(valueOf(document), "new");
}

TEST(XmlDocument, FailedCreateLeavesTheTargetAlone)
{
    TempDir dir;
    dir.write("core.xml", documentWith("old"));
    // Root cannot open a directory for writing either.
    boost::filesystem::create_directory(dir.path / "core.xml.pending");
    XmlDocument document;
    fill(document, "new");
    EXPECT_FALSE(document.save(dir.file("core.xml")));
    EXPECT_EQ(document.errorId(), 2);
    EXPECT_EQ(document.errorText(), "create error 21 - Is a directory");
    EXPECT_EQ(dir.read("core.xml"), documentWith("old"));
}

TEST(XmlDocument, FailedWriteRemovesThePendingFileAndLeavesTheTargetAlone)
{
    TempDir dir;
    dir.write("core.xml", documentWith("old"));
    // A file-size limit binds root too; the save runs in a child so that the
    // limit stays there.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        XmlDocument document;
        document.parse(documentWith(std::string(5000, 'x')));
        const bool saved = document.save(dir.file("core.xml"));
        const bool expected = document.errorId() == 2 &&
                              document.errorText() == "write error 27 - File too large";
        _exit(!saved && expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "save did not fail as expected";
    EXPECT_FALSE(dir.exists("core.xml.pending"));
    EXPECT_EQ(dir.read("core.xml"), documentWith("old"));
}

TEST(XmlDocument, FailedRenameKeepsThePendingFileForTheNextLoad)
{
    TempDir dir;
    // A target that is a directory cannot be replaced by a file.
    boost::filesystem::create_directory(dir.path / "core.xml");
    XmlDocument document;
    fill(document, "complete");
    EXPECT_FALSE(document.save(dir.file("core.xml")));
    EXPECT_EQ(document.errorId(), 2);
    EXPECT_EQ(document.errorText(), "Failed to rename .xml.pending to .xml file 21 - Is a directory");
    ASSERT_TRUE(dir.exists("core.xml.pending"));

    XmlDocument reloaded;
    ASSERT_TRUE(reloaded.load(dir.file("core.xml")));
    EXPECT_EQ(valueOf(reloaded), "complete");
}

TEST(XmlDocument, NestingDeeperThanOneHundredIsRefusedWithCode17)
{
    const std::string tooDeep = "Elements nested too deeply (exceeds the configured maximum parse depth).";
    XmlDocument document;
    EXPECT_TRUE(document.parse(nestedDocument(100))) << document.errorText();
    EXPECT_TRUE(document.parse(nestedDocument(100, "text is not counted")));
    EXPECT_TRUE(document.parse(nestedDocument(99, "<!-- a comment at depth 100 -->")));

    EXPECT_FALSE(document.parse(nestedDocument(101)));
    EXPECT_EQ(document.errorId(), 17);
    EXPECT_EQ(document.errorText(), tooDeep);
    EXPECT_EQ(document.root(), nullptr);
    for (const char *markup : {"<!-- c -->", "<![CDATA[x]]>", "<e/>", "<?pi?>"}) {
        EXPECT_FALSE(document.parse(nestedDocument(100, markup))) << markup;
        EXPECT_EQ(document.errorId(), 17) << markup;
    }
    // Quoted '>' and self-closed elements do not fool the count.
    EXPECT_TRUE(document.parse(nestedDocument(99, "<a b='>' c=\"/>\"/><d/>")));

    // Far too deep for a recursive parser: refused before it starts.
    EXPECT_FALSE(document.parse(nestedDocument(1000000)));
    EXPECT_EQ(document.errorId(), 17);

    TempDir dir;
    dir.write("deep.xml", nestedDocument(101));
    EXPECT_FALSE(document.load(dir.file("deep.xml")));
    EXPECT_EQ(document.errorText(), tooDeep);
    document.parse("<ok/>");
    EXPECT_EQ(document.errorId(), 0) << "a good parse clears the error";
}

TEST(XmlDocument, TwoThreadsSavingOneNameBothComplete)
{
    TempDir dir;
    const std::string name = dir.file("core.xml");
    const std::string a(20000, 'a');
    const std::string b(30000, 'b');
    auto saveMany = [&](const std::string &value, bool &allSaved) {
        XmlDocument document;
        fill(document, value);
        allSaved = true;
        for (int i = 0; i < 50; ++i)
            allSaved = document.save(name) && allSaved;
    };
    bool savedA = false;
    bool savedB = false;
    std::thread first(saveMany, a, std::ref(savedA));
    std::thread second(saveMany, b, std::ref(savedB));
    first.join();
    second.join();
    EXPECT_TRUE(savedA);
    EXPECT_TRUE(savedB);
    EXPECT_FALSE(dir.exists("core.xml.pending"));
    const std::string text = dir.read("core.xml");
    EXPECT_TRUE(text == documentWith(a) + "\n" || text == documentWith(b) + "\n");
    EXPECT_FALSE(FileNameLocks::process().held(name));
}

TEST(XmlDocument, ANameIsHeldByOneThreadAtATime)
{
    FileNameLocks locks;
    locks.acquire("core.xml");
    std::atomic<bool> second{false};
    std::thread other([&] {
        FileNameLock lock(locks, "core.xml");
        second = true;
    });
    locks.acquire("./core.xml");  // another name, though the same file
    locks.release("./core.xml");
    EXPECT_FALSE(second.load());
    locks.release("core.xml");
    other.join();
    EXPECT_TRUE(second.load());
    EXPECT_FALSE(locks.held("core.xml"));
}
