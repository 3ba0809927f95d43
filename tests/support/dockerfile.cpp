#include "dockerfile.hpp"

#include <fstream>
#include <sstream>

std::vector<std::string> dockerfile_env(const std::string &path) {
  std::ifstream file(path);
  std::vector<std::string> env;
  std::string line, instruction;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    instruction += line;
    if (instruction.back() == '\\') {
      instruction.back() = ' ';
      continue;
    }
    std::istringstream words(instruction);
    std::string word;
    words >> word;
    if (word == "ENV")
      while (words >> word) env.push_back(word);
    instruction.clear();
  }
  return env;
}

std::string env_value(const std::vector<std::string> &env, const std::string &name) {
  for (const auto &entry : env)
    if (entry.rfind(name + "=", 0) == 0) return entry.substr(name.size() + 1);
  return "";
}
