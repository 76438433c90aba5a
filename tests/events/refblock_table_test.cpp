#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "events/refblock_table.h"
#include "plugin/dvrplugin.h"

namespace {

int blockA, blockB;

TEST(RefBlockTable, NullPointersAreNeverTracked)
{
    RefBlockTable table;
    table.add(nullptr, 10, 1);
    EXPECT_EQ(table.counts().blockCount, 0u);
    EXPECT_TRUE(table.release(nullptr, 1));  // nothing to free, free(nullptr) is harmless
}

TEST(RefBlockTable, LastHolderFrees)
{
    RefBlockTable table;
    table.add(&blockA, 100, 0x80000000u);
    table.add(&blockA, 100, 0x00120000u);
    table.add(&blockA, 100, 0x00130000u);
    EXPECT_FALSE(table.release(&blockA, 0x80000000u));
    EXPECT_FALSE(table.release(&blockA, 0x00130000u));
    EXPECT_TRUE(table.release(&blockA, 0x00120000u));
    EXPECT_FALSE(table.contains(&blockA));
}

TEST(RefBlockTable, RepeatedAddBySameHolderCountsOnce)
{
    RefBlockTable table;
    table.add(&blockA, 8, 7);
    table.add(&blockA, 8, 7);
    EXPECT_TRUE(table.release(&blockA, 7));
}

TEST(RefBlockTable, ReleaseByNonHolderKeepsBlock)
{
    RefBlockTable table;
    table.add(&blockA, 8, 7);
    EXPECT_FALSE(table.release(&blockA, 9));
    EXPECT_TRUE(table.contains(&blockA));
    EXPECT_TRUE(table.release(&blockA, 7));
}

TEST(RefBlockTable, UnknownOrAlreadyFreedBlockIsNotFreedAgain)
{
    RefBlockTable table;
    EXPECT_FALSE(table.release(&blockB, 7)) << "a foreign pointer must not be freed";
    table.add(&blockA, 8, 7);
    EXPECT_TRUE(table.release(&blockA, 7));
    EXPECT_FALSE(table.release(&blockA, 7)) << "a double release must not free twice";
}

TEST(RefBlockTable, ManyHoldersReleasedInAnyOrder)
{
    RefBlockTable table;
    for (uint32_t h = 1; h <= 20; ++h)
        table.add(&blockA, 8, h << 16);
    EXPECT_EQ(table.census().size(), 20u);
    const uint32_t order[] = {3, 20, 1, 7, 19, 2, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    for (uint32_t h : order) {
        ASSERT_FALSE(table.release(&blockA, h << 16)) << h;
        ASSERT_FALSE(table.release(&blockA, h << 16)) << "released twice: " << h;
    }
    EXPECT_EQ(table.census().size(), 1u);
    EXPECT_EQ(table.census().count(18u << 16), 1u);
    EXPECT_TRUE(table.release(&blockA, 18u << 16));
}

TEST(RefBlockTable, CountsFollowBlocksNotAdds)
{
    RefBlockTable table;
    table.add(&blockA, 100, 1);
    table.add(&blockA, 999, 2);  // the first length stays
    table.add(&blockB, 50, 1);
    EXPECT_EQ(table.counts().blockCount, 2u);
    EXPECT_EQ(table.counts().byteCount, 150u);
    table.release(&blockA, 1);
    table.release(&blockA, 2);
    EXPECT_EQ(table.counts().blockCount, 1u);
    EXPECT_EQ(table.counts().byteCount, 50u);
    table.release(&blockB, 1);
    EXPECT_EQ(table.counts().blockCount, 0u);
    EXPECT_EQ(table.counts().byteCount, 0u);
}

TEST(RefBlockTable, CensusCountsBlocksPerHolder)
{
    RefBlockTable table;
    table.add(&blockA, 1, 1);
    table.add(&blockA, 1, 2);
    table.add(&blockB, 1, 1);
    auto census = table.census();
    EXPECT_EQ(census.size(), 2u);
    EXPECT_EQ(census[1], 2u);
    EXPECT_EQ(census[2], 1u);
}

TEST(RefBlockTable, LeakReportListsEveryBlockWithItsHoldersAndEmptiesTheTable)
{
    RefBlockTable table;
    EXPECT_EQ(table.leakReport(), "") << "nothing left, nothing to say";
    table.add(&blockA, 3, 0x00120000);
    table.add(&blockA, 3, DVR_PROVIDER_CORE);
    table.add(&blockB, 4, 5);
    const std::string report = table.leakReport();
    std::ostringstream a, b;
    a << "address 0x" << std::hex << reinterpret_cast<uintptr_t>(&blockA) << " leaked by plugins [";
    b << "address 0x" << std::hex << reinterpret_cast<uintptr_t>(&blockB) << " leaked by plugins [5]\n";
    const bool aListed = report.find(a.str() + "120000,80000000]\n") != std::string::npos ||
                         report.find(a.str() + "80000000,120000]\n") != std::string::npos;
    EXPECT_TRUE(aListed) << report;
    EXPECT_NE(report.find(b.str()), std::string::npos) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 2);
    EXPECT_EQ(table.counts().blockCount, 0u);
    EXPECT_EQ(table.counts().byteCount, 0u);
}

TEST(RefBlockTable, DropFreesOnLastHolderAfterTellingTheListener)
{
    std::vector<const void *> told;
    RefBlockTable table([&](const void *data) { told.push_back(data); });
    void *block = std::calloc(1, 8);
    table.add(block, 8, 1);
    table.add(block, 8, 2);
    table.drop(block, 1);
    EXPECT_TRUE(told.empty());
    table.drop(block, 2);  // frees: the sanitizer runs would report a leak otherwise
    EXPECT_EQ(told, std::vector<const void *>{block});
    char foreign[4] = {};
    table.drop(foreign, 1);  // unknown: left alone
    EXPECT_EQ(told.size(), 1u);
}

}  // namespace
