// make-sample-packages: writes the sample runtime packages the main job
// installs, for both desktop language folders:
//
//   <out>/English/{MFC,VB,ADO}/...  and  <out>/Japanese/{MFC,VB,ADO}/...
//
// The files carry the names the setup program and the device registration
// expect, plausible sizes, and content that says plainly it is sample data:
// a text header, then bytes from a generator seeded by the file's path, so
// every run writes the same bytes and no two files are alike.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct SampleFile {
  const char* group;
  const char* name;
  uint32_t bytes;
};

// Hundreds of KB per package, as the real runtimes are.
const SampleFile kSampleFiles[] = {
    {"MFC", "mfcce211.dll", 301568}, {"MFC", "olece211.dll", 151040}, {"MFC", "atlce211.dll", 62976},
    {"VB", "vbscript.dll", 226304},  {"VB", "vbsen.dll", 18944},      {"VB", "pvbform2.dll", 183808},
    {"VB", "pvbhost2.dll", 97792},   {"VB", "pvbload.exe", 24576},    {"ADO", "adoce.dll", 163328},
    {"ADO", "adocedb.dll", 120320},  {"ADO", "adoceres.dll", 12800},  {"ADO", "adosync.dll", 40448},
};

const char* kLanguageFolders[] = {"English", "Japanese"};

// FNV-1a of the text: the seed of a file's bytes.
uint64_t seedOf(const std::string& text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// xorshift64*: small, fast and the same everywhere.
uint64_t nextRandom(uint64_t& state) {
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 2685821657736338717ull;
}

std::vector<char> sampleContent(const std::string& language, const SampleFile& file) {
  std::string relative = language + "\\" + file.group + "\\" + file.name;
  std::string header = "PsPC setup sample package file " + relative +
                       "\r\nSample data for trying installs on an emulated PsPC; not a runtime library.\r\n";
  std::vector<char> content(file.bytes);
  size_t i = 0;
  for (; i < header.size() && i < content.size(); ++i) content[i] = header[i];
  uint64_t state = seedOf(relative) | 1;
  while (i < content.size()) {
    uint64_t word = nextRandom(state);
    for (int b = 0; b < 8 && i < content.size(); ++b, ++i) content[i] = char(word >> (8 * b));
  }
  return content;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) == "--help") {
    std::cerr << "usage: make-sample-packages <output folder>\n"
                 "Writes English\\ and Japanese\\ sample package trees (MFC, VB, ADO) into the folder.\n";
    return argc == 2 ? 0 : 2;
  }
  fs::path out = argv[1];
  try {
    for (const char* language : kLanguageFolders) {
      for (const SampleFile& file : kSampleFiles) {
        fs::path folder = out / language / file.group;
        fs::create_directories(folder);
        std::vector<char> content = sampleContent(language, file);
        std::ofstream stream(folder / file.name, std::ios::binary | std::ios::trunc);
        stream.write(content.data(), std::streamsize(content.size()));
        if (!stream) throw std::runtime_error("cannot write " + (folder / file.name).string());
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "make-sample-packages: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
