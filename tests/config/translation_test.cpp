// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/translation.hpp"

#include <gtest/gtest.h>

#include <barrier>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace kestrel {
namespace {

namespace fs = std::filesystem;

fs::path MakeTempDir() {
  std::string pattern = (fs::temp_directory_path() / "kestrel-lang-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) { throw std::runtime_error("mkdtemp failed"); }
  return pattern;
}

// A program installed as <root>/prefix/bin/kestrel with shared data in <root>/prefix/share/kestrel,
// started from <root>/work; <root> is a fresh temporary folder, removed afterwards.
class TranslationTest : public testing::Test {
protected:
  TranslationTest() {
    for (const fs::path& p : {bin_, share_, work_}) { fs::create_directories(p); }
  }
  ~TranslationTest() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static void WriteFile(const fs::path& file, std::string_view content) {
    std::ofstream(file, std::ios::binary) << content;
  }

  const fs::path root_ = MakeTempDir();
  fs::path bin_ = root_ / "prefix" / "bin";
  fs::path share_ = root_ / "prefix" / "share" / "kestrel";
  fs::path work_ = root_ / "work";
  Translator fr_{LanguageFileNameFor("fr"), bin_, work_};
};

TEST_F(TranslationTest, WithoutLanguageEveryTextIsReturnedItself) {
  EXPECT_EQ(LanguageFileNameFor("fr"), "Lang.fr");
  WriteFile(bin_ / "Lang.", "[Common]\nExit=Quitter\n");
  const char* text = "Exit";
  for (const Translator& none : {Translator(), Translator(LanguageFileNameFor(""), bin_, work_)}) {
    EXPECT_EQ(none.TranslateString(text), text);
    EXPECT_TRUE(none.LanguageFilePath().empty());
    EXPECT_EQ(none.Lookup("Common", "Exit"), std::nullopt);
  }
}

TEST_F(TranslationTest, CommonSectionTranslatesRunTimeTexts) {
  WriteFile(bin_ / "Lang.fr", "; French\n[Common]\nExit=Quitter\nOpen Kestrel=\n"
                              "MidiDump\\nTo AutoScroll - press End=Vidage MIDI\\nFin pour suivre\n"
                              "  delay: %d ms = \"d\xC3\xA9lai : %d ms\" \n"
                              "[Vantor Kestrel]\nServer On/Off=Serveur\n");
  EXPECT_STREQ(fr_.TranslateString("Exit"), "Quitter");
  EXPECT_STREQ(fr_.TranslateString("MidiDump\nTo AutoScroll - press End"), "Vidage MIDI\nFin pour suivre");
  EXPECT_STREQ(fr_.TranslateString("delay: %d ms"), "d\xC3\xA9lai : %d ms");

  // Texts without a usable translation come back as they were: the same pointer.
  const std::string tooLong(Translator::kBufferSize, 'a');
  for (const char* english : {"Open Kestrel", "Server On/Off", "Minimize Kestrel to Tray", "", tooLong.c_str()}) {
    EXPECT_EQ(fr_.TranslateString(english), english) << english;
  }
}

TEST(TranslationEscapes, ControlCharactersAndBackslashTravelAsPairs) {
  const std::pair<const char*, const char*> kEscaped[] = {{"Exit", "Exit"},          {"a\tb", "a\\tb"},
                                                          {"Dump\nTo", "Dump\\nTo"}, {"\r\n", "\\r\\n"},
                                                          {"C:\\dir", "C:\\\\dir"},  {"\\n", "\\\\n"}};
  for (const auto& [text, escaped] : kEscaped) {
    std::string back = EscapeText(text);
    EXPECT_EQ(back, escaped);
    UnescapeText(back);
    EXPECT_EQ(back, text);
  }
  char out[3] = {};
  EXPECT_FALSE(EscapeText("a\n", out, sizeof out)) << "no room for the terminating zero";

  // In a value, a backslash before any other character stays and the character goes.
  const std::pair<const char*, const char*> kValues[] = {{"a\\nb", "a\nb"},  {"\\\\n", "\\n"}, {"x\\qy", "x\\y"},
                                                         {"end\\", "end\\"}, {"\\", "\\"},     {"", ""}};
  for (const auto& [value, plain] : kValues) {
    std::string s = value;
    UnescapeText(s);
    EXPECT_EQ(s, plain) << value;
  }
}

TEST_F(TranslationTest, LanguageFileLocation) {
  EXPECT_EQ(fr_.LanguageFilePath(), bin_ / "Lang.fr") << "nowhere: beside the program";
  const std::pair<fs::path, const char*> kSteps[] = {
      {share_, "share"}, {bin_, "bin"}, {work_, "work"}}; // each new copy wins over the ones before
  for (const auto& [dir, value] : kSteps) {
    WriteFile(dir / "Lang.fr", std::string("[Common]\nExit=") + value + "\n");
    EXPECT_EQ(fr_.LanguageFilePath(), dir / "Lang.fr");
    EXPECT_STREQ(fr_.TranslateString("Exit"), value);
  }
  const std::string given = (root_ / "elsewhere" / "Lang.fr").string();
  EXPECT_EQ(Translator(given, bin_, work_).LanguageFilePath(), given);
  EXPECT_EQ(Translator("i18n/Lang.fr", bin_, work_).LanguageFilePath(), "i18n/Lang.fr");
}

TEST_F(TranslationTest, EachThreadKeepsItsOwnResult) {
  WriteFile(bin_ / "Lang.fr", "[Common]\nExit=Quitter\nOpen Kestrel=Ouvrir Kestrel\n");
  // Both threads translate, then both compare while neither translates: a buffer shared between
  // them would show one thread the other's text.
  std::barrier sync(2);
  const auto run = [&](const char* text, std::string_view expected, int& wrong) {
    for (int i = 0; i < 50; ++i) {
      const char* got = fr_.TranslateString(text);
      sync.arrive_and_wait();
      if (got != expected) { ++wrong; }
      sync.arrive_and_wait();
    }
  };
  int wrongA = 0;
  int wrongB = 0;
  std::thread a(run, "Exit", "Quitter", std::ref(wrongA));
  std::thread b(run, "Open Kestrel", "Ouvrir Kestrel", std::ref(wrongB));
  a.join();
  b.join();
  EXPECT_EQ(wrongA, 0);
  EXPECT_EQ(wrongB, 0);
}

TEST_F(TranslationTest, LookupGivesTheUnescapedValueOrNothing) {
  WriteFile(bin_ / "Lang.fr", "[Common]\n&Close=&Fermer\n[About Vantor Kestrel]\n&Close=Fermer\\tla fen\xC3\xAAtre\n"
                              "Version=\nBuild=***\n[]\nPlease Wait...=Patientez\\n...\n");
  EXPECT_EQ(fr_.Lookup("About Vantor Kestrel", "&Close"), "Fermer\tla fen\xC3\xAAtre");
  EXPECT_EQ(fr_.Lookup("about vantor kestrel", "VERSION"), "");
  EXPECT_EQ(fr_.Lookup("About Vantor Kestrel", "Build"), "***");
  EXPECT_EQ(fr_.Lookup("About Vantor Kestrel", "Missing"), std::nullopt);
  EXPECT_EQ(fr_.Lookup("Vantor Kestrel", "&Close"), std::nullopt) << "no fallback to Common here";
  EXPECT_EQ(fr_.Lookup("", "Please Wait..."), "Patientez\n...") << "the section with the empty name";
}

} // namespace
} // namespace kestrel
