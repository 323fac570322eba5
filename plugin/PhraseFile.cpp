// SPDX-License-Identifier: GPL-3.0-or-later
// The session's phrase file: header, phrase bytes, checksum.
#include "plugin/PhraseFile.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace sorvane {
namespace {

constexpr char kMagic[16] = "SORVANE PHRASE\n";
constexpr uint32_t kByteOrder = 0x01020304;

struct PhraseFileHeader {
  char Magic[16];
  uint32_t ByteOrder;
  uint32_t PhraseBytes;
  uint64_t Checksum;
};

// FNV-1a over the phrase's bytes.
uint64_t Checksum(const PhraseStore& store) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&store);
  uint64_t hash = 14695981039346656037ULL;
  for (size_t i = 0; i < sizeof(PhraseStore); ++i) {
    hash ^= bytes[i];
    hash *= 1099511628211ULL;
  }
  return hash;
}

bool AllFinite(const PhraseStore& store) {
  for (const auto& k : store.PhraseReflection) {
    for (double v : k) {
      if (!std::isfinite(v)) return false;
    }
  }
  for (const auto* table : {store.PhraseAmplitude.data(), store.PhraseGain.data()}) {
    for (int i = 0; i < kPhraseTableFrames; ++i) {
      if (!std::isfinite(table[i])) return false;
    }
  }
  for (double v : store.PhraseHighBand) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

bool WritePhraseFile(const char* path, const PhraseStore& store, std::string& why) {
  PhraseFileHeader header{};
  std::memcpy(header.Magic, kMagic, sizeof(kMagic));
  header.ByteOrder = kByteOrder;
  header.PhraseBytes = sizeof(PhraseStore);
  header.Checksum = Checksum(store);
  FILE* raw = std::fopen(path, "wb");
  if (raw == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  const bool written =
      std::fwrite(&header, sizeof(header), 1, raw) == 1 && std::fwrite(&store, sizeof(PhraseStore), 1, raw) == 1;
  const bool closed = std::fclose(raw) == 0;
  if (!written || !closed) {
    why = "the file could not be written";
    return false;
  }
  return true;
}

bool ReadPhraseFile(const char* path, PhraseStore& store, std::string& why) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
  if (file == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  PhraseFileHeader header{};
  if (std::fread(&header, sizeof(header), 1, file.get()) != 1 ||
      std::memcmp(header.Magic, kMagic, sizeof(kMagic)) != 0) {
    why = "not a Sorvane phrase file";
    return false;
  }
  if (header.ByteOrder != kByteOrder || header.PhraseBytes != sizeof(PhraseStore)) {
    why = "a phrase file of another kind of machine or version";
    return false;
  }
  auto phrase = std::make_unique<PhraseStore>();
  const bool whole = std::fread(phrase.get(), sizeof(PhraseStore), 1, file.get()) == 1 && std::fgetc(file.get()) == EOF;
  if (!whole || Checksum(*phrase) != header.Checksum || !AllFinite(*phrase)) {
    why = "the phrase file is damaged";
    return false;
  }
  std::memcpy(static_cast<void*>(&store), phrase.get(), sizeof(PhraseStore));
  return true;
}

}  // namespace sorvane
