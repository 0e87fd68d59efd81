#include "config.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

Config::Config() : preserve(false) {}

bool Config::is_space(unsigned char c) { return (c >= 9 && c <= 13) || c == 32; }

bool Config::is_key_char(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         c == '-' || c == '.' || c == '_';
}

bool Config::is_value_char(unsigned char c) { return c >= 32 && c != 127; }

int Config::parse(char* buf, int /*n*/, std::string& key, std::string& value) {
  unsigned char* p = reinterpret_cast<unsigned char*>(buf);
  while (is_space(*p)) ++p;
  unsigned char* key_begin = p;
  while (is_key_char(*p)) ++p;
  unsigned char* key_end = p;
  if (*p == '#' || *p == '\0') return EMPTY;

  while (is_space(*p)) ++p;
  if (*p != '=') return INVALID;
  ++p;
  while (is_space(*p)) ++p;
  // An empty value has to be written as "" or ''.
  if (*p == '\0') return INVALID;

  unsigned char delim = ' ';
  bool quoted = false;
  if (*p == '"' || *p == '\'') {
    delim = *p;
    quoted = true;
    ++p;
  }
  unsigned char* value_begin = p;
  while (is_value_char(*p) && *p != delim) ++p;
  unsigned char* value_end = p;
  if (quoted) {
    if (*p != delim) return INVALID;
    ++p;
  }
  while (is_space(*p)) ++p;
  if (*p != '\0' && *p != '#') return INVALID;

  // Terminate only now: key_end may sit on the '=' and value_end on the closing quote,
  // both of which the scan above still had to see.
  *key_end = '\0';
  *value_end = '\0';
  key.assign(reinterpret_cast<char*>(key_begin), key_end - key_begin);
  value.assign(reinterpret_cast<char*>(value_begin), value_end - value_begin);
  if (preserve && quoted) {
    const char q = static_cast<char>(delim);
    value = q + value + q;
  }
  return OK;
}

int Config::read(const std::string& path_utf8) {
  if (path_utf8.empty()) return -1;
  FILE* fp = fopen(path_utf8.c_str(), "re");
  if (fp == nullptr) return -1;
  return read_stream(fp);
}

int Config::read_fd(int fd) {
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return -1;
  FILE* fp = fdopen(own, "r");
  if (fp == nullptr) {
    close(own);
    return -1;
  }
  return read_stream(fp);
}

// Reads fp to its end and closes it.
int Config::read_stream(FILE* fp) {
  int result = 0;
  char buf[8192];
  std::string key;
  std::string value;
  while (fgets(buf, sizeof(buf), fp) != nullptr) {
    const int rc = parse(buf, sizeof(buf), key, value);
    if (rc == OK) {
      store[key] = value;
    } else if (rc == INVALID) {
      store.clear();
      result = -1;
      break;
    }
  }
  // A read error (a folder given as path, an I/O fault) means the file was not read
  // whole; what was added before it stays.
  if (result == 0 && ferror(fp)) result = -1;
  fclose(fp);
  return result;
}

std::string& Config::operator[](const std::string& key) { return store[key]; }
