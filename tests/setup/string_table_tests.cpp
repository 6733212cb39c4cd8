// The string table as the running program finds it: every entry of every
// language set with its exact text, nothing more, each block under its
// language, and the UI texts as LoadStringA gives them on a desktop whose ANSI
// code page is 932.
#include "japanese_texts.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>

namespace {

struct Entry {
  UINT id;
  const char16_t* text;
};

// Every entry the table holds. "\r\n" is a line break; trailing blanks belong
// to the texts; entry 23 has two blanks before "includes".
const Entry kEntries[] = {
    {1, u"\\WINDOWS\\"},
    {2, u"\\WINDOWS\\"},
    {11001, u"\\Windows\\Start Menu\\"},
    {11002, u"\\Windwos\\Start Menu\\Programs\\"},
    {11003, u"\\Windows\\StartUp\\"},
    {11004, u"Zelkor Setup Options"},
    {11005, u"Select Components to Setup"},
    {11006, u"64k colors"},
    {11007, u"Memory Needed"},
    {11008, u"Memory Available "},
    {11009, u"Invert Selections"},
    {11010, u"OK"},
    {11011, u"Cancel"},
    {11012, u"Transferring data from Desktop PC to PsPC"},
    {11013, u"From"},
    {11014, u"To"},
    {11015, u"Warning"},
    {11016, u"Please press the RESET button of PsPC to resume operation"},
    {11017, u"Error"},
    {11018, u"Cannot connect to PsPC.\r\nPlease check your mobile device link."},
    {11019, u"The device version is not correct."},
    {11020, u"The storage memory of PsPC is not enough."},
    {11021, u"The device language is not correct."},
    {11022, u"Zelkor Utilities"},
    {11023, u"Visual Basic runtime support libraries  includes ADO support "},
    {11024, u"Microsoft Foundation Classes runtime support libraries includes ADO support "},
    {11025, u"( Note - ADO is ActiveX Data Objects ) "},
    {11026, u"%d item(s) could not be installed on PsPC.\r\nPlease check PsPC and run setup again."},
    {12001, u"\\Windows\\Menu Démarrer\\"},
    {12002, u"\\Windows\\Menu Démarrer\\Programmes\\"},
    {12003, u"\\Windows\\Démarrage\\"},
    {12004, u"Options de configuration Zelkor"},
    {12005, u"Sélectionner les éléments de configuration"},
    {12006, u"64 000 couleurs"},
    {12007, u"Mémoire requise"},
    {12008, u"Mémoire disponible"},
    {12009, u"Inverser les sélections"},
    {12010, u"OK"},
    {12011, u"Annuler"},
    {12012, u"Transfert des données de l'ordinateur de bureau à l'assistant personnel"},
    {12013, u"De"},
    {12014, u"Vers"},
    {12015, u"Avertissement"},
    {12016, u"Appuyez sur le bouton RESET pour relancer l'assistant personnel"},
    {12017, u"Erreur"},
    {12018, u"Connexion à l'assistant personnel impossible.\r\nVérifiez la liaison de l'assistant personnel."},
    {12019, u"La version de l'appareil est incorrecte."},
    {12020, u"La mémoire de stockage de l'assistant personnel est insuffisante."},
    {12021, u"La langue de l'appareil est incorrecte."},
    {12022, u"Zelkor Utilities"},
    {12023, u"Visual Basic runtime support libraries  includes ADO support "},
    {12024, u"Microsoft Foundation Classes runtime support libraries includes ADO support "},
    {12025, u"( Note - ADO is ActiveX Data Objects ) "},
    {13001, u"\\Windows\\Startmenü\\\\"},
    {13002, u"\\Windows\\Startmenü\\\\Programme\\"},
    {13003, u"\\Windows\\Autostart\\"},
    {13004, u"Zelkor Setup-Optionen"},
    {13005, u"Wählen Sie die Komponenten aus"},
    {13006, u"64k Farben"},
    {13007, u"Benötigter Speicher"},
    {13008, u"Verfügbarer Speicher"},
    {13009, u"Auswahl umkehren"},
    {13010, u"OK"},
    {13011, u"Abbrechen"},
    {13012, u"Übertragen der Daten vom Desktop-PC zum Taschen PC"},
    {13013, u"Von"},
    {13014, u"An"},
    {13015, u"Warnung"},
    {13016, u"Bitte drücken Sie die RESET-Taste des Taschen PC, um den Betrieb wiederaufzunehmen."},
    {13017, u"Fehler"},
    {13018, u"Keine Verbindung zum Taschen PC möglich.\r\nBitte prüfen Sie die Verbindung zu Ihrem mobilen Gerät."},
    {13019, u"Die Version des mobilen Gerätes ist falsch."},
    {13020, u"Der Speicher des Taschen PC reicht nicht aus."},
    {13021, u"Die Sprachversion des Gerätes ist falsch."},
    {13022, u"Zelkor Utilities"},
    {13023, u"Visual Basic runtime support libraries  includes ADO support "},
    {13024, u"Microsoft Foundation Classes runtime support libraries includes ADO support "},
    {13025, u"( Note - ADO is ActiveX Data Objects ) "},
    {14001, u"\\Windows\\Menú Inicio\\"},
    {14002, u"\\Windows\\Menú Inicio\\Programas\\"},
    {14003, u"\\Windows\\Inicio\\"},
    {15001, u"\\Windows\\Start Menu\\"},
    {15002, u"\\Windows\\Start Menu\\Programmi\\"},
    {15003, u"\\Windows\\Esecuzione automatica\\"},
    {15004, u"Opzioni di installazione Zelkor"},
    {15005, u"Selezionare i componenti per l'installazione"},
    {15006, u"Colori 64k"},
    {15007, u"Memoria necessaria"},
    {15008, u"Memoria disponibile"},
    {15009, u"Invertire le selezioni"},
    {15010, u"OK"},
    {15011, u"Annulla"},
    {15012, u"Trasferimento dei dati dal PC desktop al PC palmare"},
    {15013, u"Da"},
    {15014, u"A"},
    {15015, u"Avvertenza"},
    {15016, u"Premere il pulsante REIMPOSTA del PC palmare per riavviare il sistema"},
    {15017, u"Errore"},
    {15018, u"Impossibile collegarsi al PC palmare.\r\nControllare il collegamento della periferica portatile."},
    {15019, u"La versione della periferica non è esatta."},
    {15020, u"La memoria di salvataggio del PC palmare non è sufficiente. "},
    {15021, u"La lingua della periferica non è esatta."},
    {15022, u"Zelkor Utilities"},
    {15023, u"Visual Basic runtime support libraries  includes ADO support "},
    {15024, u"Microsoft Foundation Classes runtime support libraries includes ADO support "},
    {15025, u"( Note - ADO is ActiveX Data Objects ) "},
    {16001, u"\\Windows\\ｽﾀｰﾄ ﾒﾆｭｰ\\"},
    {16002, u"\\Windows\\ｽﾀｰﾄ ﾒﾆｭｰ\\ﾌﾟﾛｸﾞﾗﾑ\\\\"},
    {16003, u"\\Windows\\ｽﾀｰﾄｱｯﾌﾟ\\"},
    {16004, u"Zelkor ｾｯﾄｱｯﾌﾟ ｵﾌﾟｼｮﾝ "},
    {16005, u"ｾｯﾄｱｯﾌﾟするｺﾝﾎﾟｰﾈﾝﾄ "},
    {16006, u"64K色ｶﾗｰ "},
    {16007, u"必要ﾒﾓﾘ "},
    {16008, u"空きﾒﾓﾘ "},
    {16009, u"選択の切り替え"},
    {16010, u"OK"},
    {16011, u"ｷｬﾝｾﾙ "},
    {16012, u"PCからﾊﾟｰﾑｻｲｽﾞPCへﾃﾞｰﾀ転送中 "},
    {16013, u"ｺﾋﾟｰ元"},
    {16014, u"ｺﾋﾟｰ先"},
    {16015, u"警告 "},
    {16016, u"操作を続行するためにﾊﾟｰﾑｻｲｽﾞPCのﾘｾｯﾄﾎﾞﾀﾝを押してください。"},
    {16017, u"ｴﾗｰ "},
    {16018, u"ﾊﾟｰﾑｻｲｽﾞPCの接続できません。\r\n正しく接続されているか確認してください。"},
    {16019, u"ﾊﾟｰﾑｻｲｽﾞPCのﾊﾞｰｼﾞｮﾝが正しくありません。"},
    {16020, u"ﾊﾟｰﾑｻｲｽﾞPCのﾃﾞｰﾀ記憶用ﾒﾓﾘが不足しています。"},
    {16021, u"ﾊﾟｰﾑｻｲｽﾞPCの言語が正しくありません。"},
    {16022, u"Zelkor Utilities"},
    {16023, u"Visual Basic ﾗﾝﾀｲﾑｻﾎﾟｰﾄﾗｲﾌﾞﾗﾘ (ADOｻﾎﾟｰﾄを含む) "},
    {16024, u"Microsoft Foundation Classes ﾗﾝﾀｲﾑｻﾎﾟｰﾄﾗｲﾌﾞﾗﾘ (ADOｻﾎﾟｰﾄを含む) "},
    {16025, u"( 情報 - ActiveX Data Objects(ADO) ) "},
    {16026, u"%d 個の項目をﾊﾟｰﾑｻｲｽﾞPCにｲﾝｽﾄｰﾙできませんでした。\r\nもう一度ｾｯﾄｱｯﾌﾟを実行してください。"},
};

struct LanguageSet {
  UINT base;
  LANGID language;
};

const LanguageSet kSets[] = {
    {11000, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)},     // 1033
    {12000, MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH)},          // 1036
    {13000, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)},          // 1031
    {14000, MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN)}, // 3082
    {15000, MAKELANGID(LANG_ITALIAN, SUBLANG_ITALIAN)},        // 1040
    {16000, MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)},       // 1041
};
const LANGID kFolderEntriesLanguage = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL); // 1028

// The UI texts in code page 932, computed outside the program with
// `iconv -f UTF-8 -t CP932` (which agrees with the platform's table for
// every character used here).
struct AnsiText {
  UINT id;
  int length;
  const char* hex;
};

const AnsiText kJapaneseUiTexts[] = {
    {16004, 22, "5A 65 6C 6B 6F 72 20 BE AF C4 B1 AF CC DF 20 B5 CC DF BC AE DD 20"},
    {16005, 20, "BE AF C4 B1 AF CC DF 82 B7 82 E9 BA DD CE DF B0 C8 DD C4 20"},
    {16007, 8, "95 4B 97 76 D2 D3 D8 20"},
    {16008, 8, "8B F3 82 AB D2 D3 D8 20"},
    {16009, 14, "91 49 91 F0 82 CC 90 D8 82 E8 91 D6 82 A6"},
    {16010, 2, "4F 4B"},
    {16011, 6, "B7 AC DD BE D9 20"},
    {16012, 29, "50 43 82 A9 82 E7 CA DF B0 D1 BB B2 BD DE 50 43 82 D6 C3 DE B0 C0 93 5D 91 97 92 86 20"},
    {16013, 6, "BA CB DF B0 8C B3"},
    {16014, 6, "BA CB DF B0 90 E6"},
    {16015, 5, "8C 78 8D 90 20"},
    {16016, 58,
     "91 80 8D EC 82 F0 91 B1 8D 73 82 B7 82 E9 82 BD 82 DF 82 C9 CA DF B0 D1 BB B2 BD DE 50 43 82 CC "
     "D8 BE AF C4 CE DE C0 DD 82 F0 89 9F 82 B5 82 C4 82 AD 82 BE 82 B3 82 A2 81 42"},
    {16017, 4, "B4 D7 B0 20"},
    {16018, 70,
     "CA DF B0 D1 BB B2 BD DE 50 43 82 CC 90 DA 91 B1 82 C5 82 AB 82 DC 82 B9 82 F1 81 42 0D 0A 90 B3 "
     "82 B5 82 AD 90 DA 91 B1 82 B3 82 EA 82 C4 82 A2 82 E9 82 A9 8A 6D 94 46 82 B5 82 C4 82 AD 82 BE "
     "82 B3 82 A2 81 42"},
    {16019, 39,
     "CA DF B0 D1 BB B2 BD DE 50 43 82 CC CA DE B0 BC DE AE DD 82 AA 90 B3 82 B5 82 AD 82 A0 82 E8 82 "
     "DC 82 B9 82 F1 81 42"},
    {16020, 43,
     "CA DF B0 D1 BB B2 BD DE 50 43 82 CC C3 DE B0 C0 8B 4C 89 AF 97 70 D2 D3 D8 82 AA 95 73 91 AB 82 "
     "B5 82 C4 82 A2 82 DC 82 B7 81 42"},
    {16021, 36,
     "CA DF B0 D1 BB B2 BD DE 50 43 82 CC 8C BE 8C EA 82 AA 90 B3 82 B5 82 AD 82 A0 82 E8 82 DC 82 B9 "
     "82 F1 81 42"},
    {16023, 47,
     "56 69 73 75 61 6C 20 42 61 73 69 63 20 D7 DD C0 B2 D1 BB CE DF B0 C4 D7 B2 CC DE D7 D8 20 28 41 "
     "44 4F BB CE DF B0 C4 82 F0 8A DC 82 DE 29 20"},
    {16024, 63,
     "4D 69 63 72 6F 73 6F 66 74 20 46 6F 75 6E 64 61 74 69 6F 6E 20 43 6C 61 73 73 65 73 20 D7 DD C0 "
     "B2 D1 BB CE DF B0 C4 D7 B2 CC DE D7 D8 20 28 41 44 4F BB CE DF B0 C4 82 F0 8A DC 82 DE 29 20"},
    {16025, 37,
     "28 20 8F EE 95 F1 20 2D 20 41 63 74 69 76 65 58 20 44 61 74 61 20 4F 62 6A 65 63 74 73 28 41 44 "
     "4F 29 20 29 20"},
    {16026, 86,
     "25 64 20 8C C2 82 CC 8D 80 96 DA 82 F0 CA DF B0 D1 BB B2 BD DE 50 43 82 C9 B2 DD BD C4 B0 D9 82 "
     "C5 82 AB 82 DC 82 B9 82 F1 82 C5 82 B5 82 BD 81 42 0D 0A 82 E0 82 A4 88 EA 93 78 BE AF C4 B1 AF "
     "CC DF 82 F0 8E C0 8D 73 82 B5 82 C4 82 AD 82 BE 82 B3 82 A2 81 42"},
};

HINSTANCE Program() { return GetModuleHandleW(nullptr); }

// The entry's text as stored, without copying it through a buffer: LoadStringW
// with no buffer length gives a pointer to the resource itself.
bool StoredText(UINT id, std::u16string* text) {
  const wchar_t* stored = nullptr;
  int length = LoadStringW(Program(), id, reinterpret_cast<LPWSTR>(&stored), 0);
  if (length <= 0 || stored == nullptr) return false;
  text->assign(reinterpret_cast<const char16_t*>(stored), size_t(length));
  return true;
}

std::string Units(const std::u16string& text) {
  std::string out;
  char unit[8];
  for (char16_t c : text) {
    std::snprintf(unit, sizeof unit, "%04X ", unsigned(c));
    out += unit;
  }
  return out;
}

std::string FromHex(const char* hex) {
  std::string bytes;
  for (const char* p = hex; *p != '\0';) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    bytes.push_back(char(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return bytes;
}

// A string block holds the entries (block - 1) * 16 to block * 16 - 1.
WORD BlockOf(UINT id) { return WORD(id / 16 + 1); }

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
  reinterpret_cast<std::set<LANGID>*>(found)->insert(language);
  return TRUE;
}

std::set<LANGID> LanguagesOf(LPCWSTR type, WORD name) {
  std::set<LANGID> found;
  EnumResourceLanguagesW(Program(), type, MAKEINTRESOURCEW(name), CollectLanguage, reinterpret_cast<LONG_PTR>(&found));
  return found;
}

TEST(StringTable, EveryEntryHoldsItsExactText) {
  for (const Entry& entry : kEntries) {
    std::u16string text;
    ASSERT_TRUE(StoredText(entry.id, &text)) << "entry " << entry.id << " is missing";
    EXPECT_EQ(Units(text), Units(entry.text)) << "entry " << entry.id;
  }
}

TEST(StringTable, HoldsNoOtherEntry) {
  // Among them: Spanish 4 to 25, and 26 of the French, German and Italian sets.
  std::set<UINT> expected;
  for (const Entry& entry : kEntries) expected.insert(entry.id);
  for (UINT id = 0; id <= 0xFFFF; ++id) {
    if (expected.count(id) != 0) continue;
    std::u16string text;
    EXPECT_FALSE(StoredText(id, &text)) << "unexpected entry " << id << ": " << Units(text);
  }
}

TEST(StringTable, EachBlockStandsUnderItsSetsLanguageAlone) {
  std::map<WORD, LANGID> blocks;
  for (const Entry& entry : kEntries) {
    LANGID language = kFolderEntriesLanguage;
    for (const LanguageSet& set : kSets)
      if (entry.id > set.base && entry.id < set.base + 1000) language = set.language;
    blocks.emplace(BlockOf(entry.id), language);
  }
  for (const auto& [block, language] : blocks) {
    EXPECT_NE(FindResourceExW(Program(), (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(block), language), nullptr)
        << "block " << block << " under " << language;
    EXPECT_EQ(LanguagesOf((LPCWSTR)RT_STRING, block), std::set<LANGID>{language}) << "block " << block;
  }
}

TEST(StringTable, UiTextsInCodePage932AreTheJapaneseEntriesByteForByte) {
  ASSERT_EQ(GetACP(), 932u) << "run under the desktop code page of the program's users";
  for (const AnsiText& expected : kJapaneseUiTexts) {
    char buffer[100];
    FillMemory(buffer, sizeof buffer, 0x7F);
    int length = LoadStringA(Program(), expected.id, buffer, sizeof buffer);
    EXPECT_EQ(length, expected.length) << "entry " << expected.id;
    ASSERT_LT(length, int(sizeof buffer)) << "entry " << expected.id << " does not fit a UI text buffer";
    EXPECT_EQ(buffer[length], '\0') << "entry " << expected.id;
    EXPECT_EQ(std::string(buffer, size_t(length)), FromHex(expected.hex)) << "entry " << expected.id;
  }
}

// The programs that drive this one read its Japanese texts from
// japanese_texts.h as C++ reads the literals there; the resource compiler
// built the set from the same literals: the two readings must agree, every
// escape included.
void ExpectStoredAsWritten(UINT id, const char* utf8) {
  wchar_t wide[200];
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, 200);
  ASSERT_GT(units, 0) << "entry " << id << " is not UTF-8";
  std::u16string text;
  ASSERT_TRUE(StoredText(id, &text)) << "entry " << id << " is missing";
  EXPECT_EQ(Units(text), Units(std::u16string(reinterpret_cast<const char16_t*>(wide), size_t(units - 1))))
      << "entry " << id;
}

TEST(StringTable, TheJapaneseSetHoldsItsTextsAsTheirDriversReadThem) {
#define EXPECT_STORED_AS_WRITTEN(n, text) ExpectStoredAsWritten(IDS_JAPANESE_BASE + n, text);
  JAPANESE_TEXTS(EXPECT_STORED_AS_WRITTEN)
#undef EXPECT_STORED_AS_WRITTEN
}

} // namespace
