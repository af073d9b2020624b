#include "core/translation.hpp"

#include <gtest/gtest.h>

#include <array>
#include <barrier>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace kestrel {
namespace {

namespace fs = std::filesystem;

// A program installed as <root>/prefix/bin/kestrel with shared data in <root>/prefix/share/kestrel,
// run from <root>/work; all inside a fresh temporary folder, removed with its content.
class Layout {
public:
  Layout() {
    std::string pattern = (fs::temp_directory_path() / "kestrel-lang-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) { throw std::runtime_error("mkdtemp failed"); }
    root = pattern;
    bin = root / "prefix" / "bin";
    share = root / "prefix" / "share" / "kestrel";
    work = root / "work";
    for (const fs::path& p : {bin, share, work}) { fs::create_directories(p); }
  }
  ~Layout() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;

  fs::path root, bin, share, work;
};

void WriteFile(const fs::path& file, std::string_view content) { std::ofstream(file, std::ios::binary) << content; }

TEST(Translation, WithoutLanguageEveryTextIsReturnedItself) {
  EXPECT_EQ(LanguageFileNameFor("fr"), "Lang.fr");
  EXPECT_EQ(LanguageFileNameFor(""), "");

  const Layout layout;
  WriteFile(layout.bin / "Lang.", "[Common]\nExit=Quitter\n");
  const char* text = "Exit";
  for (const Translator& none : {Translator(), Translator(LanguageFileNameFor(""), layout.bin, layout.work)}) {
    EXPECT_EQ(none.TranslateString(text), text);
    EXPECT_EQ(none.TranslateString(nullptr), nullptr);
    EXPECT_TRUE(none.LanguageFilePath().empty());
    EXPECT_EQ(none.Lookup("Common", "Exit"), std::nullopt);
  }
}

TEST(Translation, CommonSectionTranslatesRunTimeTexts) {
  const Layout layout;
  WriteFile(layout.bin / "Lang.fr", "; French\n"
                                    "[Common]\n"
                                    "Exit=Quitter\n"
                                    "Open Kestrel=\n"
                                    "MidiDump\\nTo AutoScroll - press End=Vidage MIDI\\nFin pour suivre\n"
                                    "  delay: %d ms = \"d\xC3\xA9lai : %d ms\" \n"
                                    "[Vantor Kestrel]\n"
                                    "Server On/Off=Serveur\n");
  const Translator fr(LanguageFileNameFor("fr"), layout.bin, layout.work);

  EXPECT_STREQ(fr.TranslateString("Exit"), "Quitter");
  EXPECT_STREQ(fr.TranslateString("MidiDump\nTo AutoScroll - press End"), "Vidage MIDI\nFin pour suivre");
  EXPECT_STREQ(fr.TranslateString("delay: %d ms"), "d\xC3\xA9lai : %d ms");

  // Texts without a usable translation come back as they were, the same pointer.
  const std::string tooLong(Translator::kBufferSize, 'a');
  for (const char* english : {"Open Kestrel", "Server On/Off", "Minimize Kestrel to Tray", "", tooLong.c_str()}) {
    EXPECT_EQ(fr.TranslateString(english), english) << english;
  }
}

TEST(Translation, ByteOrderMarkDoesNotHideTheFirstSection) {
  // Editors on other systems often save a language file with a UTF-8 byte order mark.
  const Layout layout;
  WriteFile(layout.bin / "Lang.fr", "\xEF\xBB\xBF[Common]\r\nExit=Quitter\r\n");
  const Translator fr("Lang.fr", layout.bin, layout.work);
  EXPECT_STREQ(fr.TranslateString("Exit"), "Quitter");
}

TEST(Translation, EscapeWritesControlCharactersAndBackslashAsPairs) {
  const struct {
    const char* text;
    const char* escaped;
  } kCases[] = {{"Exit", "Exit"},
                {"a\tb", "a\\tb"},
                {"MidiDump\nTo", "MidiDump\\nTo"},
                {"\r\n", "\\r\\n"},
                {"C:\\dir", "C:\\\\dir"},
                {"\\n", "\\\\n"},
                {"", ""}};
  for (const auto& c : kCases) {
    EXPECT_EQ(EscapeText(c.text), c.escaped) << c.text;
    std::string back = EscapeText(c.text);
    UnescapeText(back);
    EXPECT_EQ(back, c.text);
  }

  std::array<char, 4> out{};
  EXPECT_TRUE(EscapeText("a\n", out.data(), 4));
  EXPECT_STREQ(out.data(), "a\\n");
  EXPECT_FALSE(EscapeText("a\n", out.data(), 3));
  EXPECT_FALSE(EscapeText("", out.data(), 0));
}

TEST(Translation, UnescapeDecodesPairsInPlace) {
  const struct {
    const char* text;
    const char* plain;
  } kCases[] = {
      {"a\\nb", "a\nb"},  {"\\r\\t", "\r\t"}, {"\\\\n", "\\n"}, {"x\\qy", "x\\y"},
      {"end\\", "end\\"}, {"\\\\", "\\"},     {"\\", "\\"},     {"", ""},
  };
  for (const auto& c : kCases) {
    std::string text = c.text;
    UnescapeText(text);
    EXPECT_EQ(text, c.plain) << c.text;
  }
}

TEST(Translation, LanguageFileLocation) {
  const Layout layout;
  const Translator fr("Lang.fr", layout.bin, layout.work);
  EXPECT_EQ(fr.LanguageFilePath(), layout.bin / "Lang.fr") << "nowhere: beside the program";

  WriteFile(layout.share / "Lang.fr", "[Common]\nExit=share\n");
  EXPECT_EQ(fr.LanguageFilePath(), layout.share / "Lang.fr");
  EXPECT_STREQ(fr.TranslateString("Exit"), "share");

  WriteFile(layout.bin / "Lang.fr", "[Common]\nExit=bin\n");
  EXPECT_EQ(fr.LanguageFilePath(), layout.bin / "Lang.fr");
  EXPECT_STREQ(fr.TranslateString("Exit"), "bin");

  WriteFile(layout.work / "Lang.fr", "[Common]\nExit=work\n");
  EXPECT_EQ(fr.LanguageFilePath(), layout.work / "Lang.fr");
  EXPECT_STREQ(fr.TranslateString("Exit"), "work");

  const std::string given = (layout.root / "elsewhere" / "Lang.fr").string();
  EXPECT_EQ(Translator(given, layout.bin, layout.work).LanguageFilePath(), given);
  EXPECT_EQ(Translator("i18n/Lang.fr", layout.bin, layout.work).LanguageFilePath(), "i18n/Lang.fr");
}

TEST(Translation, EachThreadKeepsItsOwnResult) {
  const Layout layout;
  WriteFile(layout.bin / "Lang.fr", "[Common]\nExit=Quitter\nOpen Kestrel=Ouvrir Kestrel\n");
  const Translator fr("Lang.fr", layout.bin, layout.work);

  // Both threads translate, then both compare while neither translates: a buffer shared between
  // them would show one thread the other's text.
  constexpr int kRounds = 50;
  std::barrier sync(2);
  const auto run = [&](const char* text, const char* expected, int& wrong) {
    for (int i = 0; i < kRounds; ++i) {
      const char* got = fr.TranslateString(text);
      sync.arrive_and_wait();
      if (std::string_view(got) != expected) { ++wrong; }
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

TEST(Translation, LookupGivesTheUnescapedValueOrNothing) {
  const Layout layout;
  WriteFile(layout.bin / "Lang.fr", "[Common]\n"
                                    "&Close=&Fermer\n"
                                    "[About Vantor Kestrel]\n"
                                    "&Close=Fermer\\tla fen\xC3\xAAtre\n"
                                    "Version=\n"
                                    "Build=***\n"
                                    "[]\n"
                                    "Restarting MIDI Drivers. Please Wait...=Red\xC3\xA9marrage\\nPatientez\n");
  const Translator fr("Lang.fr", layout.bin, layout.work);
  EXPECT_EQ(fr.Lookup("About Vantor Kestrel", "&Close"), "Fermer\tla fen\xC3\xAAtre");
  EXPECT_EQ(fr.Lookup("about vantor kestrel", "VERSION"), "");
  EXPECT_EQ(fr.Lookup("About Vantor Kestrel", "Build"), "***");
  EXPECT_EQ(fr.Lookup("About Vantor Kestrel", "Missing"), std::nullopt);
  EXPECT_EQ(fr.Lookup("Vantor Kestrel", "&Close"), std::nullopt) << "no fallback to Common here";
  EXPECT_EQ(fr.Lookup("", "Restarting MIDI Drivers. Please Wait..."), "Red\xC3\xA9marrage\nPatientez");
}

} // namespace
} // namespace kestrel
