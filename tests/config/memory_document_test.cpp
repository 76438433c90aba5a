// The memory-state document, exactly as printed for the plugins.
#include "config/memory_document.h"

#include <gtest/gtest.h>

TEST(MemoryDocument, CompactTextHasTheCoreIdTheStateAndThe32BitTime)
{
    const auto compact = [](bool throttling, int64_t wallSeconds) {
        XmlDocument document;
        buildMemoryDocument(throttling, wallSeconds, document);
        return document.printCompact();
    };
    EXPECT_EQ(compact(false, 1700000000),
              "<?xml ?><Qarn><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"1700000000\" />"
              "</Qarn>");
    EXPECT_NE(compact(false, 0x80000001LL).find(" Time=\"-2147483647\" "), std::string::npos);
    EXPECT_NE(compact(false, 0x100000005LL).find(" Time=\"5\" "), std::string::npos);
}
