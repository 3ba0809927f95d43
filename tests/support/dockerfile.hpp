// What the Dockerfile fragments in examples/containers/ set up, for the
// tests that check them against the packages they name.
#pragma once

#include <string>
#include <vector>

// The variables of every ENV instruction ("NAME=value", in order), lines
// continued with a backslash joined; empty when the file cannot be read.
std::vector<std::string> dockerfile_env(const std::string &path);
// The value of one of them; "" when not set.
std::string env_value(const std::vector<std::string> &env, const std::string &name);
