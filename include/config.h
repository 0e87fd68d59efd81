// Reader of small key=value text files (the logger's level file, the client's pid file).
#pragma once

#include <stdio.h>

#include <map>
#include <string>

class Config {
 public:
  typedef std::map<std::string, std::string> Store;
  typedef Store::const_iterator const_iterator;

  // Result of parsing one line.
  enum ParseResult { OK = 0, EMPTY = 1, INVALID = 2 };

  Config();

  // Adds the entries of the file at path_utf8 to the store. Returns 0 when the whole
  // file was read; -1 when it cannot be opened or read (store unchanged) or when a line
  // is malformed (store emptied, earlier entries included).
  int read(const std::string& path_utf8);
  // The same for a file already open as fd, read from its current offset; fd stays
  // open. For a caller that had to check what it opened (a file of another writer).
  int read_fd(int fd);

  // The value for key; an absent key is inserted with an empty value.
  std::string& operator[](const std::string& key);

  // All entries, in byte order of their keys.
  const_iterator begin() const { return store.begin(); }
  const_iterator end() const { return store.end(); }
  bool empty() const { return store.empty(); }
  Store::size_type size() const { return store.size(); }

 private:
  static bool is_space(unsigned char c);
  static bool is_key_char(unsigned char c);
  static bool is_value_char(unsigned char c);
  // Parses the zero-terminated line in buf (n is not used); writes zero bytes into buf
  // at the ends of the key and the value.
  int parse(char* buf, int n, std::string& key, std::string& value);
  int read_stream(FILE* fp);

  Store store;
  bool preserve;
};
