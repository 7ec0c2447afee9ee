#include "foundation/Value.h"
#include "foundation/Base64.h"
#include "foundation/DateTimePoint.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>

using namespace sonorix;

namespace {

DictRef dictWith(const char* key, ValueRef value) {
    DictRef d = makeDict();
    d->set(key, std::move(value));
    return d;
}

// Parsing must not depend on the process's time zone; tzset makes the C library see the change.
struct ScopedTimeZone {
    explicit ScopedTimeZone(const char* zone) : env("TZ", zone) { tzset(); }
    ~ScopedTimeZone() { tzset(); }
    sonorix::test::ScopedEnv env;
};

} // namespace

TEST(ValueConversion, TextMustBeWhollyTheNumber) {
    EXPECT_EQ(dictWith("k", makeString(u" 12"))->getInt32("k"), 0);
    EXPECT_EQ(dictWith("k", makeString(u"12 "))->getInt32("k"), 0);
    EXPECT_EQ(dictWith("k", makeString(u"12"))->getInt32("k"), 12);
    EXPECT_EQ(dictWith("k", makeString(u"-7"))->getInt64("k"), -7);
    EXPECT_EQ(dictWith("k", makeString(u"70000"))->getInt16("k"), 0); // does not fit 16 bits
    EXPECT_EQ(dictWith("k", makeString(u"99999999999999999999"))->getInt64("k"), 0);
    EXPECT_TRUE(dictWith("k", makeString(u"1"))->getBool("k"));
    EXPECT_FALSE(dictWith("k", makeString(u"true"))->getBool("k"));
    EXPECT_DOUBLE_EQ(dictWith("k", makeString(u"2.5"))->getDouble("k"), 2.5);
    EXPECT_DOUBLE_EQ(dictWith("k", makeString(u"2.5x"))->getDouble("k"), 0.0);
    EXPECT_FLOAT_EQ(makeString(u"0.25")->toFloat(), 0.25f);
}

TEST(ValueConversion, RealsTruncateTowardZeroAndSaturate) {
    EXPECT_EQ(dictWith("k", makeDouble(2.9))->getInt32("k"), 2);
    EXPECT_EQ(dictWith("k", makeDouble(-2.9))->getInt32("k"), -2);
    EXPECT_EQ(makeDouble(-2.9)->toInt16(), -2);
    // Out of range would be undefined in a plain cast.
    EXPECT_EQ(makeDouble(1e300)->toInt32(), INT32_MAX);
    EXPECT_EQ(makeDouble(-1e300)->toInt64(), INT64_MIN);
    EXPECT_EQ(makeDouble(std::nan(""))->toInt32(), 0);
    EXPECT_TRUE(makeDouble(0.1)->toBool());
    EXPECT_FALSE(makeDouble(0.0)->toBool());
}

TEST(ValueConversion, IntegersBoolsAndText) {
    EXPECT_EQ(makeInt64(0x123456789LL)->toInt32(), 0x23456789); // low 32 bits
    EXPECT_EQ(makeInt32(-5)->toInt64(), -5);                    // sign-extended
    EXPECT_EQ(makeInt32(0x12345)->toInt16(), 0x2345);
    EXPECT_EQ(makeInt16(-3)->type(), Value::kInteger);
    EXPECT_EQ(makeInt64(-42)->toString(), u"-42");
    EXPECT_EQ(makeBool(true)->toString(), u"1");
    EXPECT_EQ(makeBool(false)->toInt32(), 0);
    EXPECT_EQ(makeDouble(0.1)->toString(), u"0.10000000000000001"); // 17 significant digits
    EXPECT_EQ(makeInt32(3)->toDouble(), 3.0);
    // Kinds without a number convert to nothing.
    EXPECT_EQ(makeDict()->toInt32(), 0);
    EXPECT_EQ(makeArray()->toString(), u"");
    EXPECT_EQ(makeDate(DateTimePoint{1267444800, 0})->toString(), u"2010-03-01T12:00:00Z");
}

TEST(ValueDict, KeysOrderedByCodeUnits) {
    DictRef d = makeDict();
    d->set("b", makeInt32(1));
    d->set("B", makeInt32(2));
    d->set("a", makeInt32(3));
    d->set(u"ab", makeInt32(4));
    d->set(u"\u00e4", makeInt32(5));
    std::vector<std::u16string> keys;
    for (const auto& [key, value] : *d->dictItems()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"B", u"a", u"ab", u"b", u"\u00e4"}));
}

TEST(ValueDict, SetReplacesRemoveErasesAndDefaultsApply) {
    DictRef d = makeDict();
    d->set("x", makeInt32(1));
    d->set(u"x", makeString(u"two"));
    EXPECT_EQ(d->count(), 1u);
    EXPECT_EQ(d->getString("x"), u"two");
    EXPECT_EQ(d->getInt32("missing", 17), 17);
    EXPECT_TRUE(d->getBool("missing", true));
    EXPECT_EQ(d->getString("missing"), u"");
    EXPECT_EQ(d->get("missing"), nullptr);
    EXPECT_EQ(d->getDate("x"), nullptr); // not a date
    d->set("x", nullptr);                // no value: no entry
    EXPECT_EQ(d->count(), 0u);
    d->set("\xc3\xa4", makeInt32(9)); // UTF-8 and UTF-16 keys name the same entry
    EXPECT_EQ(d->getInt32(u"\u00e4"), 9);
    d->remove(u"\u00e4");
    EXPECT_EQ(d->count(), 0u);
    EXPECT_EQ(d->get("\xff"), nullptr); // an unconvertible UTF-8 key finds nothing
}

TEST(ValueDict, SharedNotCopied) {
    DictRef inner = makeDict();
    DictRef outer = dictWith("inner", inner);
    inner->set("late", makeInt32(1));
    EXPECT_EQ(asDict(outer->get("inner"))->getInt32("late"), 1);
}

TEST(HexId, ReadingAndWriting) {
    DictRef d = dictWith("id", makeString(u"00C0FFEE12345678"));
    EXPECT_EQ(d->getHexId("id"), 0x00C0FFEE12345678ULL);
    EXPECT_EQ(hexIdText(d->getHexId("id")), "C0FFEE12345678");
    EXPECT_EQ(hexIdText(0xAB), "AB");
    EXPECT_EQ(hexIdText(0), "0");
    EXPECT_EQ(hexIdText(UINT64_MAX), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(parseHexId("abcdef"), 0xABCDEFULL);
    EXPECT_EQ(parseHexId("12G4"), 0x12ULL); // stops at the first non-digit
    EXPECT_EQ(parseHexId("xyz"), 0ULL);
    EXPECT_EQ(parseHexId(""), 0ULL);
    // Sixteen digits are read directly; everything else as the C library reads it.
    EXPECT_EQ(parseHexId("FFFFFFFFFFFFFFFF"), UINT64_MAX);
    EXPECT_EQ(parseHexId("1FFFFFFFFFFFFFFFF"), UINT64_MAX);
    EXPECT_EQ(parseHexId("0000000000000000012"), 0x12ULL);
    EXPECT_EQ(parseHexId("0x1F"), 0x1FULL);
    EXPECT_EQ(parseHexId(" 1f"), 0x1FULL);
    EXPECT_EQ(parseHexId("-1"), UINT64_MAX);
    EXPECT_EQ(d->getHexId("missing"), 0ULL);
    EXPECT_EQ(hexIdText16(0x1F), u"1F");
}

TEST(ValueData, CopyAdoptAndAppend) {
    uint8_t bytes[] = {1, 2, 3};
    auto copied = std::static_pointer_cast<Value_data>(makeData(bytes, 3, true));
    EXPECT_TRUE(copied->copied());
    EXPECT_TRUE(copied->ownsBuffer());
    bytes[0] = 9;
    int32_t length = 0;
    EXPECT_EQ(copied->bytes(length)[0], 1);
    EXPECT_EQ(length, 3);

    // Adopted without ownership: never freed (a stack buffer would crash free()).
    auto adopted = std::static_pointer_cast<Value_data>(makeData(bytes, 3, false, false));
    EXPECT_FALSE(adopted->copied());
    EXPECT_FALSE(adopted->ownsBuffer());
    EXPECT_EQ(adopted->bytes(length), bytes);
    adopted->appendBytesOf(*copied); // appending moves the bytes into a buffer of its own
    EXPECT_TRUE(adopted->ownsBuffer());
    const uint8_t* all = adopted->bytes(length);
    ASSERT_EQ(length, 6);
    EXPECT_EQ(std::vector<uint8_t>(all, all + 6), (std::vector<uint8_t>{9, 2, 3, 1, 2, 3}));

    auto* owned = static_cast<uint8_t*>(std::malloc(2));
    owned[0] = 'o';
    owned[1] = 'k';
    auto taken = makeData(owned, 2, false, true); // freed by the value (leak checkers see it)
    EXPECT_EQ(taken->bytes(length)[1], 'k');
    makeInt32(1)->appendBytes(bytes, 3); // does nothing for other kinds
    EXPECT_EQ(makeInt32(1)->bytes(length), nullptr);
    EXPECT_EQ(length, 0);
}

TEST(DateTimePoint, ParsesAsUtcInAnyTimeZone) {
    for (const char* zone :
         {"UTC", "America/New_York", "Asia/Kolkata", "EST5EDT,M3.2.0,M11.1.0", "IST-5:30"}) {
        ScopedTimeZone tz(zone);
        auto p = DateTimePoint::parse("2010-03-01T12:00:00Z", kIsoDatePattern);
        ASSERT_TRUE(p) << zone;
        EXPECT_EQ(p->seconds, 1267444800) << zone;
        EXPECT_EQ(p->format(kIsoDatePattern), "2010-03-01T12:00:00Z") << zone;
        // Summer time in the local zone must not shift a UTC text either.
        auto summer = DateTimePoint::parse("2010-07-01T00:30:00Z", kIsoDatePattern);
        ASSERT_TRUE(summer);
        EXPECT_EQ(summer->seconds, 1277944200) << zone;
    }
}

TEST(DateTimePoint, RejectsTextThatDoesNotMatch) {
    for (const char* text : {"", "2010-03-01", "2010-03-01T12:00:00", "2010-03-01T12:00:00Z junk",
                             "yesterday", "2010-13-01T12:00:00Z", "2010-03-01T25:00:00Z"}) {
        EXPECT_FALSE(DateTimePoint::parse(text, kIsoDatePattern)) << text;
    }
    EXPECT_FALSE(DateTimePoint::parse(std::string("2010-03-01T12:00:00Z\0x", 22), kIsoDatePattern));
}

TEST(DateTimePoint, NowAndOrdering) {
    DateTimePoint whole = DateTimePoint::now();
    EXPECT_EQ(whole.nanoseconds, 0);
    DateTimePoint fine = DateTimePoint::now(true);
    EXPECT_EQ(fine.nanoseconds % 1000, 0); // microseconds, stored as nanoseconds
    EXPECT_GE(fine.seconds, whole.seconds);
    EXPECT_LT((DateTimePoint{5, 999}), (DateTimePoint{6, 0}));
    EXPECT_LT((DateTimePoint{5, 1}), (DateTimePoint{5, 2}));
    EXPECT_EQ((DateTimePoint{-1, 0}).format(kIsoDatePattern), "1969-12-31T23:59:59Z");
    EXPECT_EQ((DateTimePoint{INT64_MAX, 0}).format(kIsoDatePattern), ""); // cannot be broken down
}

TEST(Base64, EncodesWithPadding) {
    auto enc = [](std::string s) {
        return base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(enc("ABCD"), "QUJDRA==");
    EXPECT_EQ(enc("ABC"), "QUJD");
    EXPECT_EQ(enc("AB"), "QUI=");
    EXPECT_EQ(enc(""), "");
    EXPECT_EQ(enc(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Base64, DecodesLeniently) {
    auto dec = [](std::string_view s) {
        auto v = base64Decode(s);
        return std::string(v.begin(), v.end());
    };
    EXPECT_EQ(dec("QUJD"), "ABC");
    EXPECT_EQ(dec("QUJD\n\t RA=="), "ABCD"); // blanks and line breaks skipped
    EXPECT_EQ(dec("QUI"), "AB");             // a trailing group of three gives two bytes
    EXPECT_EQ(dec("QQ"), "A");               // of two, one byte
    EXPECT_EQ(dec("Q"), "");                 // of one, nothing
    EXPECT_EQ(dec("QUJD=QUJD"), "ABC");      // stops at the first "="
    EXPECT_EQ(dec("!!QU*JD"), "ABC");        // characters outside the alphabet skipped
    std::mt19937 random(7);
    for (size_t n = 0; n < 40; ++n) {
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(random());
        }
        EXPECT_EQ(base64Decode(base64Encode(bytes.data(), bytes.size())), bytes) << n;
    }
}
