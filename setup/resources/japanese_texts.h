// The Japanese set of the string table, the one the program loads and shows:
// each entry's n (resource.h) and its text, as UTF-8. strings.rc builds the
// set from this list, and the programs that drive the setup program from
// outside (the end-to-end tests, the headless main job, the benchmark) take
// the texts they wait for and answer from it: a text is written here alone.
//
// Texts are exact: trailing blanks belong to them, "\r\n" is a carriage return
// and a line feed, and a literal backslash is written "\\": the resource
// compiler and C++ read these escapes alike (a quote they would not, and no
// text holds one). Entry 2 ends with two backslashes. Entries 1 to 3 are
// device folder paths, 6 a colour depth and 22 the title of the utility
// suite: none of them is shown.
//
// JAPANESE_TEXTS(ENTRY) expands to ENTRY(n, text) for every entry, in order.
#pragma once

#include "resource.h"

#define JAPANESE_TEXTS(ENTRY) \
  ENTRY(IDS_START_MENU_FOLDER, "\\Windows\\ｽﾀｰﾄ ﾒﾆｭｰ\\") \
  ENTRY(IDS_PROGRAMS_FOLDER, "\\Windows\\ｽﾀｰﾄ ﾒﾆｭｰ\\ﾌﾟﾛｸﾞﾗﾑ\\\\") \
  ENTRY(IDS_STARTUP_FOLDER, "\\Windows\\ｽﾀｰﾄｱｯﾌﾟ\\") \
  ENTRY(IDS_SETUP_OPTIONS_TITLE, "Zelkor ｾｯﾄｱｯﾌﾟ ｵﾌﾟｼｮﾝ ") \
  ENTRY(IDS_SELECT_COMPONENTS_LABEL, "ｾｯﾄｱｯﾌﾟするｺﾝﾎﾟｰﾈﾝﾄ ") \
  ENTRY(IDS_COLOR_DEPTH, "64K色ｶﾗｰ ") \
  ENTRY(IDS_MEMORY_NEEDED_LABEL, "必要ﾒﾓﾘ ") \
  ENTRY(IDS_MEMORY_AVAILABLE_LABEL, "空きﾒﾓﾘ ") \
  ENTRY(IDS_INVERT_SELECTIONS_LABEL, "選択の切り替え") \
  ENTRY(IDS_OK_LABEL, "OK") \
  ENTRY(IDS_CANCEL_LABEL, "ｷｬﾝｾﾙ ") \
  ENTRY(IDS_TRANSFER_TITLE, "PCからﾊﾟｰﾑｻｲｽﾞPCへﾃﾞｰﾀ転送中 ") \
  ENTRY(IDS_FROM_LABEL, "ｺﾋﾟｰ元") \
  ENTRY(IDS_TO_LABEL, "ｺﾋﾟｰ先") \
  ENTRY(IDS_WARNING_CAPTION, "警告 ") \
  ENTRY(IDS_RESET_PROMPT_TEXT, "操作を続行するためにﾊﾟｰﾑｻｲｽﾞPCのﾘｾｯﾄﾎﾞﾀﾝを押してください。") \
  ENTRY(IDS_ERROR_CAPTION, "ｴﾗｰ ") \
  ENTRY(IDS_CONNECT_FAILED_TEXT, "ﾊﾟｰﾑｻｲｽﾞPCの接続できません。\r\n正しく接続されているか確認してください。") \
  ENTRY(IDS_WRONG_VERSION_TEXT, "ﾊﾟｰﾑｻｲｽﾞPCのﾊﾞｰｼﾞｮﾝが正しくありません。") \
  ENTRY(IDS_LOW_STORAGE_TEXT, "ﾊﾟｰﾑｻｲｽﾞPCのﾃﾞｰﾀ記憶用ﾒﾓﾘが不足しています。") \
  ENTRY(IDS_WRONG_LANGUAGE_TEXT, "ﾊﾟｰﾑｻｲｽﾞPCの言語が正しくありません。") \
  ENTRY(IDS_SUITE_TITLE, "Zelkor Utilities") \
  ENTRY(IDS_VB_COMPONENT_LABEL, "Visual Basic ﾗﾝﾀｲﾑｻﾎﾟｰﾄﾗｲﾌﾞﾗﾘ (ADOｻﾎﾟｰﾄを含む) ") \
  ENTRY(IDS_MFC_COMPONENT_LABEL, "Microsoft Foundation Classes ﾗﾝﾀｲﾑｻﾎﾟｰﾄﾗｲﾌﾞﾗﾘ (ADOｻﾎﾟｰﾄを含む) ") \
  ENTRY(IDS_ADO_NOTE_LABEL, "( 情報 - ActiveX Data Objects(ADO) ) ") \
  /* %d: the number of package files and registry values not installed. */ \
  ENTRY(IDS_TRANSFER_FAILED_TEXT, "%d 個の項目をﾊﾟｰﾑｻｲｽﾞPCにｲﾝｽﾄｰﾙできませんでした。\r\nもう一度ｾｯﾄｱｯﾌﾟを実行してください。")
