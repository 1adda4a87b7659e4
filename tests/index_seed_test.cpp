// The key index's hash tables, drawn afresh in each life: from the kernel's getrandom (asked
// without blocking), else /dev/urandom, else a mix that still differs between two lives that
// one process starts in the same second.
#include <vector>

#include "tests/plugin_fixture.h"

namespace {

constexpr long kGrndNonblock = 0x0001;

class IndexSeedTest : public PluginTest {
  protected:
    // Starts a life, makes a record (which draws the tables), and returns the hashes of keys
    // that together pick every word of the tables; then shuts the life down.
    std::vector<uint32_t> tablesOfALife() {
        start({"score"});
        host.addRoom(1, {"SetStats-score"});
        EXPECT_TRUE(host.changeSpot(host.addUser(1001, 0, 1), 1, 1, 7));
        std::vector<uint32_t> hashes;
        for (uint32_t byte = 0; byte < 256; ++byte)
            for (int shift = 0; shift < 32; shift += 8) hashes.push_back(host.plugin().indexHash(byte << shift));
        host.shutdown();
        return hashes;
    }
};

TEST_F(IndexSeedTest, TheKernelIsAskedFirstWithoutBlocking) {
    ASSERT_NE(host.plugin().indexHash, nullptr) << "the checked build exports morveltIndexHash";
    tablesOfALife();
    EXPECT_EQ(host.getrandomCalls(), 1u);
    EXPECT_EQ(host.lastGetrandomFlags(), kGrndNonblock);
}

TEST_F(IndexSeedTest, WithoutRandomSourcesTwoLivesInOneSecondGetDifferentTables) {
    ASSERT_NE(host.plugin().indexHash, nullptr) << "the checked build exports morveltIndexHash";
    host.setRandomSources(false);
    std::vector<uint32_t> first = tablesOfALife();
    std::vector<uint32_t> second = tablesOfALife();  // same process, same simulated second
    EXPECT_EQ(host.getrandomCalls(), 2u);
    EXPECT_NE(first, second);
}

}  // namespace
