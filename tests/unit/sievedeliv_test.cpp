// sievedeliv's memory of duplicates and vacation replies: what is seen, what
// expires, what is dropped when full, and lines a user may have spoiled.
#include <gtest/gtest.h>

#include <string>

#include "ZELDELIV/sievedeliv.h"

TEST(SieveMemory, RememberSeeExpireAndRenew) {
  std::string text = SieveMemoryRemember("", "aa", 200, 100);
  EXPECT_EQ(text, "200 aa\n");
  EXPECT_TRUE(SieveMemorySeen(text, "aa", 199));
  EXPECT_FALSE(SieveMemorySeen(text, "aa", 200));   // expired at its time
  EXPECT_FALSE(SieveMemorySeen(text, "bb", 150));
  // A second key keeps the first; the same key is renewed, not doubled;
  // an expired line goes at the next change.
  text = SieveMemoryRemember(text, "bb", 300, 150);
  text = SieveMemoryRemember(text, "aa", 400, 150);
  EXPECT_EQ(text, "300 bb\n400 aa\n");
  EXPECT_EQ(SieveMemoryRemember(text, "cc", 900, 350), "400 aa\n900 cc\n");
  // Forgotten: only that key's line goes.
  EXPECT_EQ(SieveMemoryForget(text, "bb"), "400 aa\n");
}

TEST(SieveMemory, SpoiledLinesAndFullMemory) {
  // Lines without a time, with letters in it, or an empty key are skipped.
  // The last two would overflow a 64-bit sum of their digits.
  std::string spoiled = "x aa\n12a bb\n 5 cc\n500\n500 \n600 dd\n"
                        "9999999999999999999 ff\nzzzzzzzzzzzzzzzzzz gg\n";
  EXPECT_FALSE(SieveMemorySeen(spoiled, "aa", 1));
  EXPECT_FALSE(SieveMemorySeen(spoiled, "bb", 1));
  EXPECT_TRUE(SieveMemorySeen(spoiled, "dd", 1));
  EXPECT_FALSE(SieveMemorySeen(spoiled, "ff", 1));
  EXPECT_FALSE(SieveMemorySeen(spoiled, "gg", 1));
  EXPECT_EQ(SieveMemoryRemember(spoiled, "ee", 700, 1), "600 dd\n700 ee\n");
  // Full: the entry soonest to expire makes room.
  std::string full;
  for (size_t i = 0; i < kMaxSieveMemoryEntries; ++i)
    full += std::to_string(1000 + i) + " k" + std::to_string(i) + "\n";
  std::string after = SieveMemoryRemember(full, "new", 5000, 10);
  EXPECT_FALSE(SieveMemorySeen(after, "k0", 10));
  EXPECT_TRUE(SieveMemorySeen(after, "k1", 10));
  EXPECT_TRUE(SieveMemorySeen(after, "new", 10));
}
