// Test-side readers of compiled Windows resources: the .res file windres
// writes and the nested records of a version block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ico_reading.h"

// One resource with an integer type and id (the only kind Velkin carries;
// a named one is kept with id 0 and named = true so a test can refuse it).
struct CompiledResource {
  uint32_t type = 0;
  uint32_t id = 0;
  uint32_t language = 0;
  bool named = false;
  Bytes data;
};

inline size_t AlignTo4(size_t at) { return (at + 3) & ~size_t{3}; }

// Reads a type or name field of a .res header: 0xFFFF then an id, or a
// NUL-terminated UTF-16 name. Returns the offset after it, 0 if cut off.
inline size_t ReadResOrdinal(const Bytes& bytes, size_t at, size_t end, uint32_t* id, bool* named) {
  if (at + 4 > end) return 0;
  if (U16At(bytes, at) == 0xFFFF) {
    *id = U16At(bytes, at + 2);
    return at + 4;
  }
  *named = true;
  *id = 0;
  for (; at + 2 <= end; at += 2) {
    if (U16At(bytes, at) == 0) return at + 2;
  }
  return 0;
}

// Every resource of a .res file, leaving out its leading empty marker entry.
// False if an entry runs past the end of the file.
inline bool ReadResFile(const Bytes& file, std::vector<CompiledResource>* resources) {
  size_t at = 0;
  while (at < file.size()) {
    const uint32_t data_size = U32At(file, at);
    const uint32_t header_size = U32At(file, at + 4);
    if (header_size == 0xFFFFFFFFu || header_size < 8 + 8 + 16 || at + header_size > file.size() ||
        data_size > file.size() - at - header_size) {
      return false;
    }
    CompiledResource resource;
    size_t field = ReadResOrdinal(file, at + 8, at + header_size, &resource.type, &resource.named);
    if (field == 0) return false;
    field = ReadResOrdinal(file, field, at + header_size, &resource.id, &resource.named);
    if (field == 0) return false;
    field = AlignTo4(field);
    resource.language = U16At(file, field + 6);  // after data version (4) and memory flags (2)
    const size_t data_at = at + header_size;
    resource.data.assign(file.begin() + data_at, file.begin() + data_at + data_size);
    if (!(data_size == 0 && resource.type == 0 && resource.id == 0)) resources->push_back(resource);
    at = AlignTo4(data_at + data_size);
  }
  return true;
}

// One record of a version block: a length, a value length, a type (1 text,
// 0 binary), a UTF-16 key, the value and the records nested in it.
struct VersionNode {
  uint32_t length = 0;
  uint32_t value_length = 0;
  uint32_t type = 0;
  std::u16string key;
  Bytes value;
  std::vector<VersionNode> children;
};

// Reads the record at `at`; false if it or a nested one runs past its length.
inline bool ReadVersionNode(const Bytes& block, size_t at, VersionNode* node) {
  node->length = U16At(block, at);
  node->value_length = U16At(block, at + 2);
  node->type = U16At(block, at + 4);
  if (node->type > 1 || node->length < 6 || at + node->length > block.size()) return false;
  const size_t end = at + node->length;
  size_t field = at + 6;
  for (; field + 2 <= end && U16At(block, field) != 0; field += 2) node->key.push_back(static_cast<char16_t>(U16At(block, field)));
  field = AlignTo4(field + 2);
  const size_t value_bytes = node->type == 1 ? 2 * node->value_length : node->value_length;  // text counts characters
  if (field + value_bytes > end) return false;
  node->value.assign(block.begin() + field, block.begin() + field + value_bytes);
  for (field = AlignTo4(field + value_bytes); field < end; field = AlignTo4(field + node->children.back().length)) {
    node->children.emplace_back();
    if (!ReadVersionNode(block, field, &node->children.back())) return false;
  }
  return true;
}

// A text value as UTF-16 without its terminating NUL (ASCII-only in Velkin's block).
inline std::string VersionText(const VersionNode& node) {
  std::string text;
  for (size_t i = 0; i + 1 < node.value.size(); i += 2) {
    const uint32_t unit = U16At(node.value, i);
    if (unit == 0) break;
    text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return text;
}
