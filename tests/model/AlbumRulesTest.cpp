#include "model/AlbumRules.h"
#include "foundation/Text.h"
#include "model/StatusDisplay.h"
#include "model/TextCompare.h"
#include "model/Uuid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <regex>
#include <set>
#include <thread>

using namespace sonorix;

namespace {

// A track's album fields, built fluently: T(u"Album").disc(2).by(u"A").
struct T {
    explicit T(std::u16string albumTitle) : album(std::move(albumTitle)) {}
    T& disc(int v) {
        discNumber = v;
        return *this;
    }
    T& by(std::u16string v) {
        artist = std::move(v);
        return *this;
    }
    T& comp() {
        compilation = true;
        return *this;
    }
    T& gap() {
        gapless = true;
        return *this;
    }
    T& track(int v) {
        trackNumber = v;
        return *this;
    }
    T& named(std::u16string v) {
        name = std::move(v);
        return *this;
    }
    T& group(std::u16string v) {
        grouping = std::move(v);
        return *this;
    }

    std::u16string album;
    int discNumber = 1;
    std::u16string artist = u"Band";
    bool compilation = false;
    bool gapless = false;
    int trackNumber = 1;
    std::u16string name = u"Song";
    std::u16string grouping;
};

AlbumSortFields fields(const T& t) {
    AlbumSortFields f;
    f.album = t.album;
    f.disc = t.discNumber;
    f.artist = t.artist;
    f.compilation = t.compilation;
    f.gapless = t.gapless;
    f.trackNumber = t.trackNumber;
    f.name = t.name;
    f.grouping = t.grouping;
    f.computeLetters();
    return f;
}

// Sorts like a group rebuild and returns the spans.
std::vector<AlbumSpan> form(const std::vector<T>& tracks, const AlbumRules& rules,
                            std::vector<AlbumSortFields>* sortedOut = nullptr) {
    std::vector<AlbumSortFields> all;
    for (const auto& t : tracks) {
        all.push_back(fields(t));
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return compareAlbumOrder(a, b) < 0; });
    std::vector<const AlbumSortFields*> sorted;
    for (const auto& f : all) {
        sorted.push_back(&f);
    }
    auto spans = formAlbumSpans(sorted, rules);
    if (sortedOut) {
        *sortedOut = all;
    }
    return spans;
}

AlbumRules mode(int albumMode) {
    AlbumRules r;
    r.albumMode = albumMode;
    return r;
}

} // namespace

TEST(TextCompare, PlainIgnoresCaseAndPutsEmptyLast) {
    EXPECT_EQ(comparePlain(u"abc", u"ABC"), 0);
    EXPECT_LT(comparePlain(u"abc", u"abd"), 0);
    EXPECT_GT(comparePlain(u"", u"a"), 0);
    EXPECT_LT(comparePlain(u"a", u""), 0);
    EXPECT_EQ(comparePlain(u"", u""), 0);
    EXPECT_EQ(comparePlain(u"\u00e4rger", u"\u00c4RGER"), 0);
}

TEST(TextCompare, LettersOnlyOrdering) {
    // Texts without letters sort after texts with letters, empty texts after both.
    EXPECT_LT(compareLettersOnly(u"Zebra", u"1999"), 0);
    EXPECT_LT(compareLettersOnly(u"1999", u""), 0);
    EXPECT_GT(compareLettersOnly(u"", u"1999"), 0);
    EXPECT_EQ(compareLettersOnly(u"", u""), 0);
    // Punctuation and blanks do not separate texts; the full texts then decide.
    EXPECT_EQ(comparePlain(lettersOnly(u"Best Of"), lettersOnly(u"best-of!")), 0);
    int full = comparePlain(u"Best Of", u"best-of!");
    ASSERT_NE(full, 0);
    EXPECT_EQ(compareLettersOnly(u"Best Of", u"best-of!") < 0, full < 0);
    // Non-ASCII characters count as letters.
    EXPECT_EQ(lettersOnly(u"\u00c9t\u00e9 2!"), u"\u00c9t\u00e9");
    // Two letter-free texts fall back to the full texts.
    EXPECT_LT(compareLettersOnly(u"1998", u"1999"), 0);
    // Letters decide even where the full texts would order the other way.
    EXPECT_LT(comparePlain(u"A-Z", u"Ab"), 0);
    EXPECT_GT(compareLettersOnly(u"A-Z", u"Ab"), 0);
}

// Prepared texts must order exactly as the comparison that folds at every call, including
// punctuation against letters (folding, not upper-casing), non-ASCII case pairs, characters
// outside the BMP and texts without letters.
TEST(TextCompare, PreparedTextsOrderAsTheDirectComparison) {
    const std::vector<std::u16string> texts = {
        u"", u"a", u"A", u"[", u"_", u"ab", u"Ab!", u"a-b", u"1999", u"1998", u"...", u"Best Of",
        u"best-of!", u"\u00e4rger", u"\u00c4RGER", u"\u00df", u"SS", u"ss", u"\u017f", u"t",
        u"\u03c2", u"\u03a3", u"\u03c3", u"\u00b5", u"\u03bc", u"\U0001F600", u"\U0001D400x",
        u"\u6771\u4eac", u"Zebra", u"zebra!", u"\u0130", u"i",
        // Alike in the first three letters, which a prepared text keeps as a number.
        u"abc", u"abcd", u"ABD", u"ab c!", u"Abcz", u"abc\u00e4", u"\u00e4\u00e4\u00e4b",
        u"\u00c4\u00c4\u00c4a", u"b\U0001F600", u"c",
        // Surrogates that only pair once the punctuation between them is gone, and lone ones.
        u"\xD83D!\xDE00", u"\xD83D\xDE00x", u"a\xD800", u"\xDC00"};
    for (const auto& a : texts) {
        const FoldedText fa = foldedText(a);
        for (const auto& b : texts) {
            const int direct = compareLettersOnly(a, b);
            const int prepared = compareLettersOnly(fa, foldedText(b));
            EXPECT_EQ((direct > 0) - (direct < 0), prepared) << toUtf8(a) << " vs " << toUtf8(b);
        }
    }
}

TEST(TextCompare, LettersCacheIsSharedAcrossThreads) {
    std::vector<std::thread> threads;
    std::vector<const std::u16string*> seen(4);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (int k = 0; k < 2000; ++k) {
                lettersOnly(u"x" + std::u16string(1, char16_t(u'a' + k % 26)) + u"1");
            }
            seen[i] = &lettersOnly(u"Shared 123");
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (auto* p : seen) {
        EXPECT_EQ(p, seen[0]);
        EXPECT_EQ(*p, u"Shared");
    }
}

TEST(AlbumOrder, SortsByAlbumDiscGroupingCompilationArtistTrackName) {
    std::vector<T> tracks = {
        T(u"").named(u"no album"),
        T(u"1999").named(u"digits"),
        T(u"Zebra").disc(2).track(1).named(u"z2"),
        T(u"Zebra").disc(1).by(u"Bob").track(2).named(u"bob2"),
        T(u"Zebra").disc(1).by(u"Bob").track(1).named(u"bob1"),
        T(u"Zebra").disc(1).by(u"Al").track(9).named(u"al9"),
        T(u"zebra").disc(1).comp().track(5).named(u"comp"),
    };
    std::vector<AlbumSortFields> sorted;
    form(tracks, mode(0), &sorted);
    std::vector<std::u16string> names;
    for (const auto& f : sorted) {
        names.push_back(f.name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"comp", u"al9", u"bob1", u"bob2", u"z2",
                                                  u"digits", u"no album"}));
}

TEST(AlbumFormation, EachSongSeparatelyByDefault) {
    auto spans = form({T(u"X").track(1), T(u"X").track(2)}, mode(0));
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].count, 1u);
    EXPECT_EQ(spans[1].count, 1u);
}

TEST(AlbumFormation, CombineAlbumsWithDiscs) {
    AlbumRules rules = mode(2);
    auto one = form({T(u"X").track(1), T(u"X").track(2)}, rules);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].count, 2u);
    EXPECT_EQ(albumNameKey(one[0].kind), "AlbumName_Album");

    auto multi = form({T(u"X").disc(1), T(u"X").disc(2)}, rules);
    ASSERT_EQ(multi.size(), 1u);
    EXPECT_EQ(albumNameKey(multi[0].kind), "AlbumName_MultiCDAlbum");

    rules.multipleCDAlbums = false;
    EXPECT_EQ(form({T(u"X").disc(1), T(u"X").disc(2)}, rules).size(), 2u);
}

TEST(AlbumFormation, EmptyAlbumsAndDifferentArtistsStayApart) {
    EXPECT_EQ(form({T(u"").track(1), T(u"").track(2)}, mode(2)).size(), 2u);
    // One title by two artists with a third track between them in plain order.
    std::vector<AlbumSortFields> sorted;
    auto spans = form(
        {T(u"Hits").by(u"B").track(1), T(u"Hits").by(u"A").track(2), T(u"Hits").by(u"B").track(3)},
        mode(2), &sorted);
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].count, 1u);
    EXPECT_EQ(spans[1].count, 2u);
    EXPECT_EQ(sorted[0].artist, u"A");
}

TEST(AlbumFormation, Compilations) {
    std::vector<T> comp = {T(u"Mix").by(u"A").comp().track(1), T(u"Mix").by(u"B").comp().track(2)};
    auto spans = form(comp, mode(2));
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(albumNameKey(spans[0].kind), "AlbumName_Compilation");

    AlbumRules rules = mode(2);
    rules.compilationsNotAlbums = true;
    spans = form(comp, rules);
    ASSERT_EQ(spans.size(), 2u);
    // Both singles know they came from a compilation.
    EXPECT_TRUE(spans[0].kind & kAlbumCompilation);
    EXPECT_TRUE(spans[1].kind & kAlbumCompilation);

    // A compilation track never joins a plain album of the same title.
    spans = form({T(u"Mix").comp(), T(u"Mix").track(2)}, mode(2));
    EXPECT_EQ(spans.size(), 2u);
}

TEST(AlbumFormation, GaplessAlwaysAlbumsInSeparateMode) {
    AlbumRules rules = mode(0);
    rules.gaplessAlwaysAlbums = true;
    auto spans = form({T(u"Live").gap().track(1), T(u"Live").gap().track(2),
                       T(u"Live").gap().track(3), T(u"Studio").track(1), T(u"Studio").track(2)},
                      rules);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].count, 3u);
    EXPECT_EQ(albumNameKey(spans[0].kind), "AlbumName_GaplessAlbum");
    EXPECT_EQ(spans[1].count, 1u);
    EXPECT_EQ(spans[2].count, 1u);

    // Gapless across discs: combined, and both bits named.
    spans = form({T(u"Live").disc(1).gap(), T(u"Live").disc(2).gap()}, rules);
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(albumNameKey(spans[0].kind), "AlbumName_GaplessMultiCDAlbum");
}

TEST(AlbumFormation, GroupingModeSeparatesGroupings) {
    auto spans = form({T(u"Opera").track(1).group(u"Act 1"), T(u"Opera").track(2).group(u"Act 1"),
                       T(u"Opera").track(1).group(u"Act 2")},
                      mode(1));
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].count, 2u);
    EXPECT_EQ(albumNameKey(spans[0].kind), "AlbumName_Grouping");
    EXPECT_EQ(albumNameKey(spans[1].kind), "AlbumName_Grouping");
    // Without grouping mode the groupings only order the tracks.
    EXPECT_EQ(form({T(u"Opera").group(u"Act 1"), T(u"Opera").group(u"Act 2")}, mode(2)).size(), 1u);
}

TEST(AlbumFormation, AllSongsOfGroupInManualMode) {
    auto spans = form({T(u"A"), T(u""), T(u"B").comp()}, mode(3));
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0].count, 3u);
    EXPECT_EQ(albumNameKey(spans[0].kind), "AlbumName_Manual");
    EXPECT_TRUE(form({}, mode(3)).empty());
}

TEST(AlbumNames, EveryKindHasAKnownKey) {
    const std::set<std::string> known = {"AlbumName_Manual",
                                         "AlbumName_Album",
                                         "AlbumName_Grouping",
                                         "AlbumName_Compilation",
                                         "AlbumName_MultiCDAlbum",
                                         "AlbumName_MultiCDCompilation",
                                         "AlbumName_GaplessAlbum",
                                         "AlbumName_GaplessGrouping",
                                         "AlbumName_GaplessCompilation",
                                         "AlbumName_GaplessMultiCDAlbum",
                                         "AlbumName_GaplessMultiCDCompilation"};
    for (int kind = 0; kind < 32; ++kind) {
        EXPECT_TRUE(known.count(albumNameKey(kind))) << kind << " " << albumNameKey(kind);
    }
}

TEST(AlbumKeys, SortedHexJoinedWithColons) {
    EXPECT_EQ(albumKeyFor({0x1F, 0xA}), "A:1F");
    EXPECT_EQ(albumKeyFor({0xA, 0x1F, 0xA}), "A:1F");
    EXPECT_EQ(albumKeyFor({0xC0FFEE12345678ull}), "C0FFEE12345678");
    EXPECT_TRUE(isAlbumKey(u"A:1F"));
    EXPECT_FALSE(isAlbumKey(u"C0FFEE12345678"));
    EXPECT_TRUE(isAlbumKey(u"12345678901234567"));
}

TEST(AlbumGain, DurationWeightedAndSilenceIgnored) {
    AlbumGainAccumulator acc;
    EXPECT_TRUE(acc.add(-6.0, 30000, 100));
    EXPECT_TRUE(acc.add(-10.0, 20000, 300));
    EXPECT_FALSE(acc.add(+20.0, 1.99, 500));
    EXPECT_DOUBLE_EQ(acc.gain(), -9.0);
    EXPECT_DOUBLE_EQ(acc.peak(), 30000);
    AlbumGainAccumulator quiet;
    EXPECT_TRUE(quiet.add(-4.0, 2.0, 0)); // the threshold itself is sound
    EXPECT_TRUE(quiet.add(-6.0, 3.0, 0));
    EXPECT_EQ(quiet.gain(), 0.0); // no duration to weigh by
    EXPECT_EQ(quiet.peak(), 3.0);
    AlbumGainAccumulator none;
    EXPECT_FALSE(none.anyCounted());
    EXPECT_EQ(none.gain(), 0.0);
}

TEST(GroupOptions, DerivedQueries) {
    OptionQueries q;
    EXPECT_TRUE(q.isAutomatic());
    EXPECT_FALSE(q.mayCombineAlbums());
    EXPECT_FALSE(q.multiCDOptionApplies());
    q.rules.gaplessAlwaysAlbums = true;
    EXPECT_TRUE(q.mayCombineAlbums());
    EXPECT_TRUE(q.effectiveMultipleCDAlbums());
    q.rules.albumMode = 3;
    EXPECT_FALSE(q.mayCombineAlbums());
    EXPECT_FALSE(q.multiCDOptionApplies());
    q.rules.albumMode = 1;
    q.rules.gaplessAlwaysAlbums = false;
    q.rules.compilationsNotAlbums = true;
    EXPECT_TRUE(q.compilationOptionApplies());
    EXPECT_FALSE(q.multiCDOptionApplies());
    q.additionalLoudness = 2.5;
    EXPECT_EQ(q.effectiveAdditionalLoudness(), 2.5);
    q.operationMode = 1;
    EXPECT_EQ(q.effectiveAdditionalLoudness(), 0.0);
}

TEST(StatusDisplay, IconsRanksAndTexts) {
    // A fresh status.
    EXPECT_EQ(statusIconName(false, 0, kStateNone, false), "");
    EXPECT_EQ(statusSortRank(false, 0, kStateNone, 0, 0, false, false), 20);
    // Half done while processing.
    double p = progressFraction(30, 15);
    EXPECT_EQ(statusIconName(true, p, kStateNone, false), "progress11");
    EXPECT_EQ(statusSortRank(true, p, kStateNone, 0, 0, false, false), 9);
    // Finished work still shows the last step, never "progress21".
    EXPECT_EQ(statusIconName(true, progressFraction(1, 5), kStateDone, true), "progress20_white");
    EXPECT_EQ(progressFraction(0, 5), 0.0);
    EXPECT_EQ(progressFraction(10, -1), 0.0);
    EXPECT_EQ(statusIconName(false, 0, kStateDone, true), "success_white");
    EXPECT_EQ(statusIconName(false, 0, kStateFailed, false), "warning");
    EXPECT_EQ(statusIconName(false, 0, kStateNoTag, false), "");
    EXPECT_EQ(statusSortRank(false, 0, kStateFailed, 1, 4, false, false), 33);
    EXPECT_EQ(statusSortRank(false, 0, kStateFailed, 3, 0, false, false), 24);
    EXPECT_EQ(statusSortRank(false, 0, kStateNoTag, 2, 0, false, false), 36);
    EXPECT_EQ(statusSortRank(false, 0, kStateDone, 0, 0, true, true), 37);
    EXPECT_EQ(statusSortRank(false, 0, kStateDone, 0, 0, false, true), 38);
    EXPECT_EQ(statusSortRank(false, 0, 7, 0, 0, false, false), 999);
    // Newer file errors rank with the save failure, still before tracks without a value.
    EXPECT_EQ(statusSortRank(false, 0, kStateFailed, 1, kFileErrorChanged, false, false), 35);
    EXPECT_STREQ(errorTextKey(1, 4), "Error_File_TooLarge");
    EXPECT_STREQ(errorTextKey(1, kFileErrorNoSpace), "Error_File_NoSpace");
    EXPECT_STREQ(errorTextKey(1, kFileErrorChanged), "Error_File_Changed");
    EXPECT_STREQ(errorTextKey(1, 0), "Error_File_Unknown");
    EXPECT_STREQ(errorTextKey(9, 0), "Error_Unknown");
    EXPECT_STREQ(errorTextKey(7, 0), "Error_Unsupported");
}

TEST(GroupUuid, RandomVersion4UpperCase) {
    std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string id = newUuidText();
        EXPECT_TRUE(std::regex_match(id, form)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(AlbumOrder, RanksGiveTheSameOrderAsComparingTexts) {
    // Texts that tie in letters, differ only in case or punctuation, lack letters or are empty.
    const std::u16string albums[] = {u"Best Of", u"best-of!", u"BEST OF", u"1999",         u"2000",
                                     u"",        u"Zebra",    u"zebra",   u"\u00c9t\u00e9"};
    const std::u16string artists[] = {u"A", u"a", u"", u"B-52", u"42"};
    std::mt19937 random(7);
    std::vector<AlbumSortFields> tracks;
    for (int i = 0; i < 400; ++i) {
        AlbumSortFields f;
        f.album = albums[random() % 9];
        f.artist = artists[random() % 5];
        f.grouping = random() % 3 ? u"" : u"Act";
        f.disc = 1 + random() % 2;
        f.trackNumber = random() % 5;
        f.compilation = random() % 4 == 0;
        f.name = u"n" + std::u16string(1, char16_t(u'a' + i % 26));
        f.computeLetters();
        tracks.push_back(f);
    }
    auto byText = tracks;
    auto byRank = tracks;
    std::vector<AlbumSortFields*> pointers;
    for (auto& f : byRank) {
        pointers.push_back(&f);
    }
    assignLetterRanks(pointers);
    auto less = [](const AlbumSortFields& a, const AlbumSortFields& b) {
        return compareAlbumOrder(a, b) < 0;
    };
    std::stable_sort(byText.begin(), byText.end(), less);
    std::stable_sort(byRank.begin(), byRank.end(), less);
    for (size_t i = 0; i < tracks.size(); ++i) {
        ASSERT_EQ(byText[i].album, byRank[i].album) << i;
        ASSERT_EQ(byText[i].artist, byRank[i].artist) << i;
        ASSERT_EQ(byText[i].name, byRank[i].name) << i;
    }
}
