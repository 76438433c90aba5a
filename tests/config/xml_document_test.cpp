// The file rules of configuration documents: pending files, failed saves,
// the per-name lock and the nesting limit.
#include "config/xml_document.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace {

std::string documentWith(const std::string &value)
{
    return "<Qarn Value=\"" + value + "\" />";
}

bool save(const std::string &value, const std::string &fileName, XmlDocument &document)
{
    return document.parse(documentWith(value)) && document.save(fileName);
}

std::string loadedValue(const std::string &fileName)
{
    XmlDocument document;
    const char *value = document.load(fileName) ? document.root()->Attribute("Value") : nullptr;
    return value ? value : "(load failed)";
}

}  // namespace

TEST(XmlDocument, PendingFileThatParsesIsAdoptedAndAHalfWrittenOneIgnored)
{
    TempDir dir;
    const std::string name = dir.file("core.xml");
    dir.write("core.xml", documentWith("old"));
    for (const char *torn : {"<Qarn><Modules><Mod", "<?xml ?>\n", "<", ""}) {
        dir.write("core.xml.pending", torn);
        EXPECT_EQ(loadedValue(name), "old") << torn;
        EXPECT_TRUE(dir.exists("core.xml.pending")) << "left for the next save to replace";
    }

    XmlDocument document;
    ASSERT_TRUE(save("new", name, document));
    EXPECT_EQ(dir.read("core.xml"), documentWith("new") + "\n");
    EXPECT_FALSE(dir.exists("core.xml.pending"));

    dir.write("core.xml.pending", documentWith("interrupted"));
    EXPECT_EQ(loadedValue(name), "interrupted");
    EXPECT_FALSE(dir.exists("core.xml.pending"));
    EXPECT_EQ(dir.read("core.xml"), documentWith("interrupted"));
}

TEST(XmlDocument, FailedSavesLeaveTheTargetAlone)
{
    TempDir dir;
    const std::string name = dir.file("core.xml");
    dir.write("core.xml", documentWith("old"));
    XmlDocument document;

    // Root cannot open a directory for writing either.
    boost::filesystem::create_directory(dir.path / "core.xml.pending");
    EXPECT_FALSE(save("new", name, document));
    EXPECT_EQ(document.errorId(), 2);
    EXPECT_EQ(document.errorText(), "create error 21 - Is a directory");
    boost::filesystem::remove(dir.path / "core.xml.pending");

    // A file-size limit binds root too; the save runs in a child so that the
    // limit stays there.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool saved = save(std::string(5000, 'x'), name, document);
        _exit(!saved && document.errorText() == "write error 27 - File too large" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "save did not fail as expected";
    EXPECT_FALSE(dir.exists("core.xml.pending"));
    EXPECT_EQ(dir.read("core.xml"), documentWith("old"));
}

TEST(XmlDocument, AFailedRenameKeepsThePendingFileForTheNextLoad)
{
    TempDir dir;
    boost::filesystem::create_directory(dir.path / "core.xml");
    XmlDocument document;
    EXPECT_FALSE(save("complete", dir.file("core.xml"), document));
    EXPECT_EQ(document.errorId(), 2);
    EXPECT_EQ(document.errorText(), "Failed to rename .xml.pending to .xml file 21 - Is a directory");
    EXPECT_EQ(loadedValue(dir.file("core.xml")), "complete");
}

TEST(XmlDocument, NestingDeeperThanOneHundredIsRefusedWithCode17)
{
    XmlDocument document;
    EXPECT_TRUE(document.parse(nestedDocument(100, "text is not counted")));
    EXPECT_TRUE(document.parse(nestedDocument(99, "<!-- depth 100 --><a b='>' c=\"/>\"/><d/>")));
    const auto repeat = [](const std::string &part, int times) {
        std::string text;
        while (times-- > 0)
            text += part;
        return text;
    };
    for (const std::string &text :
         {nestedDocument(101), nestedDocument(100, "<!-- c -->"), nestedDocument(100, "<![CDATA[x]]>"),
          nestedDocument(100, "<?pi?>"), nestedDocument(1000000),
          // In UTF-8 mode the parser reads a lead byte with the quote after it.
          "<?xml ?><Qarn b='\xC3''>" + repeat("<a>", 101),
          "<?xml ?><Qarn b='\xC3''>" + repeat("<a>", 200000),
          // A declaration's quoted version may hold what looks like end tags.
          repeat("<e><?xml version='</e>'?>", 101)}) {
        EXPECT_FALSE(document.parse(text)) << text.substr(0, 40);
        EXPECT_EQ(document.errorId(), 17);
        EXPECT_EQ(document.errorText(),
                  "Elements nested too deeply (exceeds the configured maximum parse depth).");
        EXPECT_EQ(document.root(), nullptr);
    }
}

// A lead byte at the very end: the parser steps past the terminating NUL
// (the fuzz build, with TinyXML instrumented, checks where it reads).
TEST(XmlDocument, TextEndingInALeadByteFailsToParse)
{
    XmlDocument document;
    EXPECT_FALSE(document.parse("<?xml ?><ab b='\xF0"));
    EXPECT_NE(document.errorId(), 0);
}

TEST(XmlDocument, TwoThreadsSavingOneNameBothComplete)
{
    TempDir dir;
    const std::string a(20000, 'a'), b(30000, 'b');
    auto saveMany = [&](const std::string &value, bool &allSaved) {
        XmlDocument document;
        allSaved = true;
        for (int i = 0; i < 50; ++i)
            allSaved = save(value, dir.file("core.xml"), document) && allSaved;
    };
    bool savedA = false, savedB = false;
    std::thread first(saveMany, a, std::ref(savedA));
    std::thread second(saveMany, b, std::ref(savedB));
    first.join();
    second.join();
    EXPECT_TRUE(savedA && savedB);
    EXPECT_FALSE(dir.exists("core.xml.pending"));
    const std::string text = dir.read("core.xml");
    EXPECT_TRUE(text == documentWith(a) + "\n" || text == documentWith(b) + "\n");
}
