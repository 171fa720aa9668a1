// The compact cell store and formula templates without an interpreter: placement rules,
// record/entry boundaries, text sharing, compaction, the hash table, and template shapes.
#include "ftemplate/ftemplate.hpp"
#include "store/compact.hpp"
#include "store/fxhash.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <unordered_map>

namespace {

using namespace qf::store;

Entry at(const Compact& c, std::uint32_t row, std::uint32_t col) {
    auto loc = c.find_key(col, row);
    EXPECT_TRUE(loc.has_value()) << row << "," << col;
    return loc ? c.entry(*loc) : Entry{};
}

TEST(FxTable, AgreesWithAMapUnderRandomPutsAndErases) {
    qf::FxTable table;
    std::unordered_map<std::uint64_t, std::uint64_t> model;
    std::mt19937_64 gen(7);
    for (int step = 0; step < 200000; ++step) {
        const std::uint64_t key = gen() % 3000;  // small key space: many collisions and re-puts
        if (gen() % 3 == 0) {
            EXPECT_EQ(table.erase(key), model.erase(key) == 1);
        } else {
            table.put(key, step);
            model[key] = step;
        }
        if (step % 997 == 0) {
            ASSERT_EQ(table.size(), model.size());
            for (std::uint64_t k = 0; k < 3000; ++k) {
                auto it = model.find(k);
                auto got = table.find(k);
                ASSERT_EQ(got.has_value(), it != model.end()) << k;
                if (got) {
                    ASSERT_EQ(*got, it->second);
                }
            }
        }
    }
}

TEST(FxHasher, ShortTailIsZeroPadded) {
    qf::FxHasher a, b;
    a.write("abc");
    b.add(0x636261);
    EXPECT_EQ(a.finish(), b.finish());
    EXPECT_NE(qf::FxHasher::hash_bytes("ab"), qf::FxHasher::hash_bytes(std::string("ab\0", 3)));
}

TEST(ChunkVec, ElementsNeverMoveAndTheSecondChunkStartsAt65536) {
    ChunkVec<std::uint64_t> v;
    for (std::uint32_t i = 0; i < CHUNK; ++i) v.push(i);
    const std::uint64_t* first = &v[0];
    EXPECT_EQ(v.chunk_count(), 1u);
    EXPECT_EQ(v.push(99), CHUNK);
    EXPECT_EQ(v.chunk_count(), 2u);
    EXPECT_EQ(&v[0], first);
    EXPECT_EQ(v[CHUNK], 99u);
}

TEST(CompactLoad, AscendingCellsAreRecordsInRowStartRanges) {
    Compact c;
    for (std::uint32_t r = 1; r <= 3; ++r) {
        for (std::uint32_t col = 1; col <= 4; ++col) {
            EXPECT_FALSE(c.load_cell(r, col, INT, r * 10 + col, 0, 0));
        }
    }
    EXPECT_EQ(c.base.live_recs, 12u);
    EXPECT_TRUE(c.entries.empty());
    EXPECT_EQ(c.base.row_numbers, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(c.base.row_starts, (std::vector<std::uint32_t>{0, 4, 8, 12}));
    EXPECT_EQ(at(c, 2, 3).payload, 23u);
    EXPECT_FALSE(c.find_key(5, 2));
    EXPECT_FALSE(c.find_key(1, 4));
}

TEST(CompactLoad, OutOfOrderCellsAndEveryLaterCellGoToEntriesInDocumentOrder) {
    Compact c;
    c.load_cell(5, 1, NONE, 0, 0, 0);
    c.load_cell(3, 1, NONE, 0, 0, 0);  // a row before the last row
    c.load_cell(9, 1, NONE, 0, 0, 0);  // a later row, but entries exist now
    EXPECT_EQ(c.base.live_recs, 1u);
    EXPECT_EQ(c.live_entries, 2u);
    std::vector<std::uint32_t> rows;
    for (const Loc& l : c.locs()) rows.push_back(c.entry(l).row);
    EXPECT_EQ(rows, (std::vector<std::uint32_t>{5, 3, 9}));
}

TEST(CompactLoad, RepeatedKeyKeepsItsFirstPositionAndTheSecondValue) {
    Compact c;
    c.load_cell(1, 1, INT, 1, 0, 0);
    c.load_cell(1, 2, INT, 2, 0, 0);
    auto replaced = c.load_cell(1, 1, TEXT, text_ref(0, 0), 7, 1);  // same column again
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->tag, INT);
    EXPECT_EQ(replaced->payload, 1u);
    EXPECT_EQ(c.len(), 2u);
    const Entry e = c.entry(c.locs().front());
    EXPECT_EQ(e.col, 1u);
    EXPECT_EQ(e.tag, TEXT);
    EXPECT_EQ(e.style, 7u);
}

TEST(CompactLoad, ColumnsFrom65536AreEntries) {
    Compact c;
    c.load_cell(1, 65535, NONE, 0, 0, 0);
    c.load_cell(2, 65536, NONE, 0, 0, 0);
    c.load_cell(2, 70000, NONE, 0, 0, 0);
    EXPECT_EQ(c.base.live_recs, 1u);
    EXPECT_EQ(c.live_entries, 2u);
    EXPECT_EQ(at(c, 2, 70000).col, 70000u);
    EXPECT_EQ(at(c, 1, 65535).col, 65535u);
}

TEST(CompactLoad, StyleIdsFrom65535LiveInTheOverflowTable) {
    Compact c;
    c.load_cell(1, 1, NONE, 0, 65534, 0);
    c.load_cell(1, 2, NONE, 0, 65535, 0);
    c.load_cell(1, 3, NONE, 0, 4000000000u, 0);
    EXPECT_EQ(c.base.recs[0].style, 65534);
    EXPECT_EQ(c.base.recs[1].style, STYLE_OVERFLOW);
    EXPECT_EQ(c.base.style_overflow.size(), 2u);
    EXPECT_EQ(at(c, 1, 1).style, 65534u);
    EXPECT_EQ(at(c, 1, 2).style, 65535u);
    EXPECT_EQ(at(c, 1, 3).style, 4000000000u);
}

TEST(CompactLoad, IntegersAndDateSerialsInside32BitsAreInline) {
    const std::int64_t values[] = {2147483647, -2147483648LL, 2147483648LL, -2147483649LL, INT64_MIN};
    for (std::uint8_t tag : {INT, DATE_INT}) {
        Compact c;
        std::uint32_t col = 1;
        for (std::int64_t v : values) c.load_cell(1, col++, tag, static_cast<std::uint64_t>(v), 0, 0);
        const std::uint8_t inline_tag = tag == INT ? INT32 : DATE_INT32;
        EXPECT_EQ(c.base.recs[0].tag, inline_tag);
        EXPECT_EQ(c.base.recs[1].tag, inline_tag);
        EXPECT_EQ(c.base.recs[2].tag, tag);
        EXPECT_EQ(c.base.vals.size(), 3u);
        col = 1;
        for (std::int64_t v : values) {
            const Entry e = at(c, 1, col++);
            EXPECT_EQ(e.tag, tag);
            EXPECT_EQ(static_cast<std::int64_t>(e.payload), v);
        }
    }
}

TEST(CompactLoad, The65537thRecordStartsTheSecondChunk) {
    Compact c;
    for (std::uint32_t r = 1; r <= CHUNK + 1; ++r) c.load_cell(r, 1, INT, r, 0, 0);
    EXPECT_EQ(c.base.recs.chunk_count(), 2u);
    auto loc = c.find_key(1, CHUNK + 1);
    ASSERT_TRUE(loc);
    EXPECT_EQ(loc->index, CHUNK);
    EXPECT_EQ(c.entry(*loc).payload, CHUNK + 1u);
    c.finish_loading();
    EXPECT_EQ(c.entry(*c.last_loc()).row, CHUNK + 1u);
}

TEST(CompactLoad, ExtentAtTheEndOfALoadIsTheMeasuredOne) {
    std::mt19937 gen(11);
    for (int round = 0; round < 50; ++round) {
        Compact c;
        Extent want{UINT32_MAX, 0, UINT32_MAX, 0};
        for (int k = 0; k < 30; ++k) {  // mostly ascending: records, with some entries between
            const std::uint32_t row = 1 + k / 3 + gen() % 2 * (gen() % 5);
            const std::uint32_t col = gen() % 40 == 0 ? CHUNK + gen() % 9 : 1 + gen() % 50;
            c.load_cell(row, col, NONE, 0, 0, 0);
            widen(want, row, col);
        }
        c.finish_loading();
        const auto got = c.extent();
        ASSERT_TRUE(got);
        EXPECT_EQ(std::tie(got->min_row, got->max_row, got->min_col, got->max_col),
                  std::tie(want.min_row, want.max_row, want.min_col, want.max_col));
        if (c.base.recs.size() == 0) continue;
        if (auto loc = c.find_key(c.base.recs[0].col, c.base.row_numbers[0])) c.remove(*loc);
        EXPECT_TRUE(c.extent());  // measured again after a change of the keys
    }
}

TEST(CompactText, EqualTextsShareBytesAndOneValsSlot) {
    Compact c;
    auto a = c.store_text("hello");
    auto b = c.store_text("hello");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(c.text, "hello");
    c.load_cell(1, 1, TEXT, *a, 0, 0);
    c.load_cell(1, 2, TEXT, *b, 0, 0);
    EXPECT_EQ(c.base.vals.size(), 1u);
    EXPECT_EQ(c.text_of(at(c, 1, 2).payload), "hello");
}

TEST(CompactText, LengthLimitIs16777215Bytes) {
    Compact c;
    const std::string longest(MAX_TEXT, 'x');
    auto ok = c.store_text(longest);
    ASSERT_TRUE(ok);
    EXPECT_EQ(text_len(*ok), MAX_TEXT);
    EXPECT_FALSE(c.store_text(longest + "x"));
}

TEST(CompactText, StaleReferencesAfterAResetAreNotFollowed) {
    Compact c;
    c.store_text("a long enough text");
    c.reset();  // as after a load that failed before finish_loading: the index survives
    auto again = c.store_text("a long enough text");
    ASSERT_TRUE(again);
    EXPECT_EQ(c.text_of(*again), "a long enough text");
}

TEST(CompactRemove, EntriesAreCompactedOnlyWhenDeadOnesDominate) {
    Compact c;
    for (std::uint32_t i = 0; i < 2000; ++i) c.append_entry(1, 70000 + i, 0, NO_STYLE, NONE, 0);
    for (std::uint32_t i = 0; i < 1023; ++i) c.remove(*c.find_key(70000 + i, 1));
    EXPECT_EQ(c.entries.size(), 2000u);
    c.remove(*c.find_key(70000 + 1023, 1));  // 1024 dead, 976 live
    EXPECT_EQ(c.entries.size(), 976u);
    EXPECT_EQ(c.live_entries, 976u);
    EXPECT_EQ(at(c, 1, 71999).col, 71999u);
    EXPECT_FALSE(c.find_key(70000, 1));

    Compact d;
    for (std::uint32_t i = 0; i < 3000; ++i) d.append_entry(1, 70000 + i, 0, NO_STYLE, NONE, 0);
    for (std::uint32_t i = 0; i < 1024; ++i) d.remove(*d.find_key(70000 + i, 1));
    EXPECT_EQ(d.entries.size(), 3000u);  // 1024 dead < 1976 live
}

TEST(CompactRemove, DeletedRecordIsInvisibleAndReaddedKeyIsAnEntry) {
    Compact c;
    c.load_cell(1, 1, INT, 5, 0, 0);
    c.load_cell(1, 2, INT, 6, 0, 0);
    const std::uint64_t v0 = c.version;
    c.remove(*c.find_key(1, 1));
    EXPECT_EQ(c.version, v0 + 1);
    EXPECT_FALSE(c.find_key(1, 1));
    c.append_entry(1, 1, 3, NO_STYLE, CELL, 0);
    auto loc = c.find_key(1, 1);
    ASSERT_TRUE(loc);
    EXPECT_EQ(loc->kind, Loc::ENTRY);
    EXPECT_EQ(c.entry(*c.last_loc()).col, 1u);
}

// Kept data follows its cell: records keep theirs by location, entries across a compaction.
TEST(KeptTable, FollowsCellsAndAnyHintFindsTheSame) {
    Compact c;
    for (std::uint32_t col = 1; col <= 50; ++col) {
        Loc loc;
        c.load_cell(1, col, INT, col, 0, 0, &loc);
        if (col % 3 == 0) c.kept.put(loc, Kept{col, NO_OBJ, CACHED_NO_T});
    }
    for (std::uint32_t i = 0; i < 1100; ++i) {
        const Loc loc = c.append_entry(2, 70000 + i, 0, NO_STYLE, NONE, 0);
        if (i >= 1050) c.kept.put(loc, Kept{i, NO_OBJ, CACHED_STR});
    }
    EXPECT_EQ(c.kept.size(), 16u + 50u);
    EXPECT_EQ(c.kept.take(*c.find_key(3, 1)).cached, 3u);
    EXPECT_FALSE(c.kept.find(*c.find_key(3, 1)));
    for (std::size_t hint = 0; hint < 20; hint += 3) {
        for (std::uint32_t col = 1; col <= 50; ++col) {
            const Loc loc = *c.find_key(col, 1);
            std::size_t h = hint;
            EXPECT_EQ(c.kept.find(loc, h), c.kept.find(loc)) << col << " from " << hint;
        }
    }
    for (std::uint32_t i = 0; i < 1050; ++i) c.remove(*c.find_key(70000 + i, 2));  // compacts the entries
    ASSERT_LT(c.entries.size(), 100u);  // compacted once 1024 were dead
    const Kept* moved = c.kept.find(*c.find_key(70000 + 1060, 2));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->cached, 1060u);
    c.reset();
    EXPECT_TRUE(c.kept.empty());
}

TEST(KeptTable, CachedTypes) {
    EXPECT_EQ(cached_type_of(false, ""), CACHED_NO_T);
    EXPECT_EQ(cached_type_of(true, "str"), CACHED_STR);
    EXPECT_EQ(cached_type_of(true, "inlineStr"), std::nullopt);
    EXPECT_EQ(cached_t_text(CACHED_E), "e");
    EXPECT_EQ(cached_t_text(CACHED_NO_T), std::nullopt);
}

// ---- templates ----

using qf::ftemplate::Templates;

std::string render(const Templates& t, std::uint32_t i, std::int64_t row, std::int64_t col) {
    std::string out;
    EXPECT_TRUE(t[i].render_into(row, col, out));
    return out;
}

TEST(Templates, SecondFormulaOfAShapeCreatesTheTemplate) {
    Templates t;
    EXPECT_FALSE(t.template_for("=A1+2", 1, 2));
    auto second = t.template_for("=A2+2", 2, 2);
    ASSERT_TRUE(second);
    EXPECT_EQ(t.template_for("=A3+2", 3, 2), second);
    EXPECT_EQ(render(t, *second, 3, 2), "=A3+2");
    EXPECT_EQ(render(t, *second, 100, 27), "=Z100+2");
    EXPECT_EQ(t.size(), 1u);
}

TEST(Templates, ShapesMixedInAColumnAndColumnsSharingASlotEachRenderTheirText) {
    Templates t;
    std::size_t templated = 0;
    for (std::int64_t row = 1; row <= 6; ++row) {
        for (std::int64_t col : {2, 66, 3}) {  // 2 and 66 share a slot of the recent templates
            const std::string r = std::to_string(row);
            for (const std::string& text : {"=A" + r + "*2", "=SUM($A$1:A" + r + ")", "=B" + r + "*2"}) {
                if (auto i = t.template_for(text, row, col)) {
                    EXPECT_EQ(render(t, *i, row, col), text);
                    ++templated;
                }
            }
        }
    }
    // All but the first formula of each of the eight shapes ("=B1*2" in C1 is "=A1*2" in B1's).
    EXPECT_EQ(templated, 6u * 9u - 8u);
}

TEST(Templates, AbsolutePartsRenderUnchanged) {
    Templates t;
    t.template_for("=$A$1+A1", 1, 3);
    auto i = t.template_for("=$A$1+A2", 2, 3);
    ASSERT_TRUE(i);
    EXPECT_EQ(render(t, *i, 9, 4), "=$A$1+B9");
}

TEST(Templates, ShortFormulasAreNeverTemplated) {
    Templates t;
    EXPECT_FALSE(t.template_for("=A1", 1, 2));
    EXPECT_FALSE(t.template_for("=A2", 2, 2));
    EXPECT_FALSE(t.template_for("=A10", 10, 2));
    EXPECT_TRUE(t.template_for("=A11", 11, 2));
}

TEST(Templates, ReferenceRecognition) {
    auto refs = [](std::string_view text) {
        std::string out;
        for (const auto& p : qf::ftemplate::scan(text)) {
            if (p.is_ref) out += std::to_string(p.col) + ":" + std::to_string(p.row) + (p.col_abs ? "$" : "") + (p.row_abs ? "$" : "") + " ";
        }
        return out;
    };
    EXPECT_EQ(refs("=SUM(A1:A3)"), "1:1 1:3 ");
    EXPECT_EQ(refs("=LOG10(B1)"), "2:1 ");
    EXPECT_EQ(refs("='Sheet 1'!A1"), "1:1 ");
    EXPECT_EQ(refs("=\"A1\"&'it''s A2'!B2"), "2:2 ");
    EXPECT_EQ(refs("=a1+A01+ABCD1+A12345678+x.A1+_A1+A1_"), "");
    EXPECT_EQ(refs("=$ZZZ$1048576+AAA9999999"), "18278:1048576$$ 703:9999999 ");
    EXPECT_EQ(refs("=Sheet2!A1"), "1:1 ");  // "Sheet2" itself is followed by "!"
}

TEST(Templates, ShiftsOffTheSheetKeepTheText) {
    Templates t;
    t.template_for("=A1+1", 1, 2);              // B1 =A1+1
    auto i = t.template_for("=A2+1", 2, 2);     // template: column offset -1
    ASSERT_TRUE(i);
    EXPECT_FALSE(t.template_for("=@1+1", 1, 1));  // not the same shape anyway
    std::string out;
    EXPECT_FALSE(t[*i].render_into(1, 1, out));  // column 0 does not exist
    EXPECT_FALSE(t[*i].matches("=A1+1", 0, 2));  // nor row 0
}

TEST(Templates, MatchingAgreesWithRendering) {
    std::mt19937_64 rng(7);
    auto pick = [&](auto const& items) { return items[rng() % std::size(items)]; };
    const char* refs[] = {"A1", "$B$2", "Z$9", "$AA10", "ZZ1048576", "ZZZ1", "AB99999", "C1000000000000000000"};
    const char* texts[] = {"=", "+", "*2", "SUM(", ")", ":", "'a b'!", "&\"A1\"", " 10"};
    const std::int64_t places[] = {1, 2, 9, 10, 26, 27, 99, 100, 702, 703, 18278, 1048576, 999999999999999999};
    int matched = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string formula = pick(texts);
        for (int n = static_cast<int>(rng() % 4); n >= 0; --n) formula += std::string(pick(refs)) + pick(texts);
        const auto parts = qf::ftemplate::scan(formula);
        const auto t = qf::ftemplate::Template::build(parts, pick(places), pick(places));
        const std::int64_t row = pick(places), col = pick(places);
        std::string text;
        const bool here = rng() % 2 == 0;
        (void)t.render_into(here ? row : pick(places), here ? col : pick(places), text);
        if (rng() % 3 == 0 && !text.empty()) text[rng() % text.size()] = pick("A9$0Z");
        std::string want;
        const bool same = t.render_into(row, col, want) && want == text;
        matched += same;
        ASSERT_EQ(t.matches(text, row, col), same) << formula << " " << text << " " << row << " " << col;
    }
    EXPECT_GT(matched, 3000);  // both answers well represented
}

TEST(Templates, CollidingShapesAreCheckedByMatching) {
    Templates t;
    t.template_for("=B1*2", 1, 1);
    auto i = t.template_for("=B2*2", 2, 1);
    ASSERT_TRUE(i);
    EXPECT_FALSE(t[*i].matches("=B3*3", 3, 1));
    EXPECT_FALSE(t[*i].matches("=B3*2 ", 3, 1));
    EXPECT_TRUE(t[*i].matches("=B3*2", 3, 1));
}

}  // namespace
