// The inputs the Python side wrote for the floor program: text blocks as
// they are in a file, and arrays as raw C-ordered bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace floor_bench {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) throw std::runtime_error("cannot read " + path);
  return bytes;
}

// Lines keep their LF, as the Python lists do.
inline std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    end = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return lines;
}

// Symbols are written one per line, without their LF.
inline std::vector<std::string_view> split_symbols(std::string_view text) {
  std::vector<std::string_view> symbols = split_lines(text);
  for (auto& s : symbols)
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
  return symbols;
}

template <class T>
std::vector<T> read_array(const std::string& path) {
  const std::string bytes = read_file(path);
  if (bytes.size() % sizeof(T) != 0) throw std::runtime_error(path + ": size is not a whole number of elements");
  std::vector<T> values(bytes.size() / sizeof(T));
  std::memcpy(values.data(), bytes.data(), bytes.size());
  return values;
}

}  // namespace floor_bench
