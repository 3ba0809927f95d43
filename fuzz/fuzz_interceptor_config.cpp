// The interceptor configuration loader on arbitrary text. Checked: the
// status is one of 0, 1, 9 and 10; on 0 every name is a string and every
// captured value is what the environment holds; on a failure nothing stays
// loaded (and, under the sanitizers, nothing leaks).
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "interceptor/interceptor.hpp"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("LD_PRELOAD", "/opt/lib/libtesselguard.so", 1);
  setenv("EMPTY_VALUE", "", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  const int status = load_interceptor_config(text.c_str());
  if (status != 0 && status != 1 && status != 9 && status != 10) abort();
  if (status != 0 && interceptor_config) abort();
  if (status == 0) {
    const interceptor_config_record *config = interceptor_config;
    if (!config || config->env_count < 0 || config->fd_count < 0) abort();
    for (int32_t i = 0; i < config->env_count; ++i) {
      const propagated_env &entry = config->envs[i];
      if (!entry.name) abort();
      const char *value = getenv(entry.name);
      if ((value == nullptr) != (entry.value == nullptr)) abort();
      if (value && strcmp(value, entry.value) != 0) abort();
    }
    // The same record drives the rebuilt environment of an executed program.
    char *const caller[] = {const_cast<char *>("A=1"), const_cast<char *>("LD_PRELOAD=/x"), nullptr};
    char *environment[64];
    const size_t needed = build_exec_environment(caller, environment, 64);
    if (needed <= 64) {
      size_t length = 0;
      while (environment[length]) ++length;
      if (length >= needed) abort();
    }
  }
  unload_interceptor_config();
  return 0;
}
