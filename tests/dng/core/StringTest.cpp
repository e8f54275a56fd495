#include <gtest/gtest.h>

#include <string>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_string_list.h"
#include "dng/core/dng_translated_string.h"

namespace {

std::string Utf8Of(const char* bytes) {
    dng_string s;
    s.SetUTF8(bytes);
    return s.Get();
}

TEST(String, UTF8RepairRejectsIllFormedSequences) {
    EXPECT_EQ(Utf8Of("\x41\xC3"), "A\xEF\xBF\xBD");
    EXPECT_EQ(Utf8Of("\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(Utf8Of("\x80"), "\xEF\xBF\xBD");
    // Overlong forms, surrogates, 5/6-byte forms and values above U+10FFFF.
    EXPECT_EQ(Utf8Of("\xE0\x81\x81"), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8Of("\xE0\x83\xA9"), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8Of("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Utf8Of("\xED\xA0\x80"), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8Of("\xF8\x88\x80\x80\x80"),
              std::string("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"));
    EXPECT_EQ(Utf8Of("\xF4\x90\x80\x80"), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8Of("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    // A broken sequence does not swallow the character after it.
    EXPECT_EQ(Utf8Of("\xE2\x82Z"), "\xEF\xBF\xBDZ");
    EXPECT_TRUE(dng_string::IsUTF8(""));
    EXPECT_TRUE(dng_string::IsUTF8("\xE2\x82\xAC"));
    EXPECT_FALSE(dng_string::IsUTF8("\xE2\x82"));
    EXPECT_FALSE(dng_string::IsUTF8("\xED\xBF\xBF"));
}

TEST(String, UTF16RoundTrips) {
    dng_string s;
    const uint16 swapped[] = {0xFFFE, 0x4100, 0};
    s.SetUTF16(swapped);
    EXPECT_STREQ(s.Get(), "A");
    const uint16 pair[] = {0xFEFF, 0xD83D, 0xDE00, 0};
    s.SetUTF16(pair);
    EXPECT_STREQ(s.Get(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(s.Length(), 4u);
    dng_memory_data units;
    ASSERT_EQ(s.GetUTF16(units), 2u);
    EXPECT_EQ(units.Buffer_uint16()[0], 0xD83D);
    EXPECT_EQ(units.Buffer_uint16()[1], 0xDE00);
    EXPECT_EQ(units.Buffer_uint16()[2], 0);
    // Lone surrogates become U+FFFD rather than ill-formed UTF-8.
    const uint16 lone[] = {0xDC00, 'x', 0xD800, 0};
    s.SetUTF16(lone);
    EXPECT_STREQ(s.Get(), "\xEF\xBF\xBDx\xEF\xBF\xBD");
    EXPECT_TRUE(dng_string::IsUTF8(s.Get()));

    s.Set("a\xC3\xA9\xE2\x82\xAC");
    ASSERT_EQ(s.GetUTF16(units), 3u);
    dng_string back;
    back.SetUTF16(units.Buffer_uint16());
    EXPECT_EQ(back, s);
}

TEST(String, SystemEncodingIsUTF8WithLatin1Fallback) {
    dng_string s;
    s.SetSystemEncoding("caf\xE9");
    EXPECT_STREQ(s.Get(), "caf\xC3\xA9");
    s.SetSystemEncoding("caf\xC3\xA9");
    EXPECT_STREQ(s.Get(), "caf\xC3\xA9");
    s.SetUTF8OrSystem("\xFF\xFE");
    EXPECT_STREQ(s.Get(), "\xC3\xBF\xC3\xBE");
    EXPECT_TRUE(s.ValidSystemEncoding());
    dng_memory_data out;
    EXPECT_EQ(s.GetSystemEncoding(out), 4u);
    dng_string empty;
    EXPECT_EQ(empty.GetSystemEncoding(out), 0u);
    EXPECT_EQ(out.Buffer_char()[0], 0);
    s.Set("\xFF");
    EXPECT_FALSE(s.ValidSystemEncoding());
    s.SetJIS("\xC6\xFC\xCB\xDC");  // EUC-JP
    EXPECT_STREQ(s.Get(), "\xE6\x97\xA5\xE6\x9C\xAC");
}

TEST(String, TruncateAppendAndTrim) {
    dng_string s("a\xC3\xA9");
    s.Truncate(2);
    EXPECT_STREQ(s.Get(), "a");
    s.Set("ab");
    s.Truncate(2);
    EXPECT_STREQ(s.Get(), "ab");
    s.Set("\xC3\xA9");
    s.Truncate(1);
    EXPECT_TRUE(s.IsEmpty());
    s.Append("x");
    s.Append("");
    s.Append(nullptr);
    EXPECT_STREQ(s.Get(), "x");
    s.Set("  pad  ");
    EXPECT_TRUE(s.TrimTrailingBlanks());
    EXPECT_FALSE(s.TrimTrailingBlanks());
    EXPECT_TRUE(s.TrimLeadingBlanks());
    EXPECT_STREQ(s.Get(), "pad");
    s.Set("PREFIXrest");
    EXPECT_TRUE(s.TrimLeading("prefix"));
    EXPECT_FALSE(s.TrimLeading("prefix", true));
    EXPECT_STREQ(s.Get(), "rest");
    // Setting from our own buffer must not read freed memory.
    s.Set("hello world");
    s.Set(s.Get() + 6);
    EXPECT_STREQ(s.Get(), "world");
}

TEST(String, CleanUps) {
    dng_string s("a\r\nb\rc");
    s.SetLineEndings('\n');
    EXPECT_STREQ(s.Get(), "a\nb\nc");
    s.Set("a\r\nb\rc\n\rd");
    s.SetLineEndings(0);
    EXPECT_STREQ(s.Get(), "abcd");
    s.Set("a\x01\tb\nc\r");
    s.StripLowASCII();
    EXPECT_STREQ(s.Get(), "ab\nc\r");
    s.Set("12; 30/ 15.5");
    s.NormalizeNumberList();
    EXPECT_STREQ(s.Get(), "12,30,15.5");
    s.Set("x1e-3");
    s.NormalizeNumberList();
    EXPECT_STREQ(s.Get(), ",1e-3");
    s.Set("MiXeD \xC3\xA9");
    s.ToUpper();
    EXPECT_STREQ(s.Get(), "MIXED \xC3\xA9");
    s.ToLower();
    EXPECT_STREQ(s.Get(), "mixed \xC3\xA9");
    s.ReplaceChar(' ', '_');
    EXPECT_STREQ(s.Get(), "mixed_\xC3\xA9");
}

TEST(String, ForceASCII) {
    dng_string s("\xC3\x86r\xC3\xB8");
    s.ForceASCII();
    EXPECT_STREQ(s.Get(), "AEro");
    s.Set("\xE2\x82\xAC");
    s.ForceASCII();
    EXPECT_STREQ(s.Get(), "?");
    s.Set("\xC2\xA9 2024 \xE2\x80\x9Cq\xE2\x80\x9D \xEF\xAC\x81 \xC3\x9F \xE2\x80\xA6");
    s.ForceASCII();
    EXPECT_STREQ(s.Get(), "(C) 2024 \"q\" fi ? ...");
    s.Set("\xFF");
    s.ForceASCII();
    EXPECT_STREQ(s.Get(), "?");
}

TEST(String, SearchAndReplace) {
    dng_string s("concatenate");
    EXPECT_FALSE(s.Replace("CAT", "dog", true));
    EXPECT_TRUE(s.Replace("cat", "dog"));
    EXPECT_STREQ(s.Get(), "condogenate");
    EXPECT_TRUE(s.Replace("DOG", "", false));
    EXPECT_STREQ(s.Get(), "conenate");
    EXPECT_TRUE(s.Replace("n", "NNN"));
    EXPECT_STREQ(s.Get(), "coNNNenate");
    int32 offset = 0;
    EXPECT_TRUE(s.Contains("nnn", false, &offset));
    EXPECT_EQ(offset, 2);
    EXPECT_FALSE(s.Contains("nnn", true, &offset));
    EXPECT_EQ(offset, -1);
    EXPECT_TRUE(s.StartsWith("CO"));
    EXPECT_FALSE(s.StartsWith("CO", true));
    EXPECT_TRUE(s.EndsWith("ATE"));
    EXPECT_TRUE(s.StartsWith(""));
    EXPECT_TRUE(s.EndsWith(""));
    EXPECT_FALSE(s.EndsWith("xconenate"));
    EXPECT_TRUE(s.Matches("CONNNENATE"));
    EXPECT_FALSE(s.Matches("CONNNENATE", true));
    EXPECT_TRUE(dng_string::Matches("", ""));
}

TEST(String, CompareInCodePointOrder) {
    const dng_string empty, a("a"), b("b"), upperB("B"), e("\xC3\xA9");
    EXPECT_EQ(dng_string::Compare(empty, empty), 0);
    EXPECT_EQ(dng_string::Compare(a, empty), 1);
    EXPECT_EQ(dng_string::Compare(empty, a), -1);
    EXPECT_EQ(dng_string::Compare(a, b), -1);
    EXPECT_EQ(dng_string::Compare(upperB, a), -1);
    EXPECT_EQ(dng_string::Compare(e, b), 1);
    EXPECT_EQ(dng_string::Compare(dng_string("ab"), a), 1);
    const dng_string x2("img2"), x10("img10"), x010("img010");
    EXPECT_EQ(dng_string::Compare(x2, x10), 1);
    EXPECT_EQ(dng_string::Compare(x2, x10, true), -1);
    EXPECT_EQ(dng_string::Compare(x10, x010, true), 0);
    EXPECT_EQ(dng_string::Compare(dng_string("a9b"), dng_string("a9c"), true), -1);
}

TEST(StringList, InsertGrowsAndSearches) {
    dng_string_list list;
    uint32 capacities[4];
    for (uint32 i = 0; i < 4; i++) {
        list.Append(dng_string(std::to_string(i).c_str()));
        capacities[i] = list.Capacity();
    }
    EXPECT_EQ(capacities[0], 1u);
    EXPECT_EQ(capacities[1], 2u);
    EXPECT_EQ(capacities[2], 4u);
    EXPECT_EQ(capacities[3], 4u);

    dng_string_list l2;
    l2.Append(dng_string("b"));
    l2.Insert(0, dng_string("a"));
    ASSERT_EQ(l2.Count(), 2u);
    EXPECT_STREQ(l2[0].Get(), "a");
    EXPECT_STREQ(l2[1].Get(), "b");
    EXPECT_TRUE(l2.Contains(dng_string("b")));
    EXPECT_FALSE(l2.Contains(dng_string("B")));
    dng_string_list copy(l2);
    EXPECT_EQ(copy, l2);
    l2.Clear();
    EXPECT_EQ(l2.Count(), 0u);
    EXPECT_EQ(l2.Capacity(), 0u);
    EXPECT_EQ(copy.Count(), 2u);
}

TEST(TranslatedString, LocalTextFallsBackByLanguage) {
    dng_translated_string t("default");
    t.AddTranslation(dng_string("de-DE"), dng_string("Hallo"));
    t.AddTranslation(dng_string("fr-CA"), dng_string("Bonjour CA"));
    t.AddTranslation(dng_string("fr-FR"), dng_string("Bonjour"));
    EXPECT_STREQ(t.LocalText(dng_string("FR-fr")).Get(), "Bonjour");
    EXPECT_STREQ(t.LocalText(dng_string("fr-BE")).Get(), "Bonjour CA");
    EXPECT_STREQ(t.LocalText(dng_string("de")).Get(), "Hallo");
    EXPECT_STREQ(t.LocalText(dng_string("e")).Get(), "default");
    dng_translated_string u("default");
    EXPECT_NE(t, u);
    t.Set("other");
    EXPECT_EQ(t.TranslationCount(), 0u);
    dng_string longLanguage;
    longLanguage.Set(std::string(300, 'x').c_str());
    t.AddTranslation(longLanguage, dng_string("text"));
    EXPECT_EQ(t.Language(0).Length(), 255u);
    t.Truncate(2);
    EXPECT_STREQ(t.Translation(0).Get(), "te");
    EXPECT_STREQ(t.DefaultText().Get(), "ot");
}

}  // namespace
