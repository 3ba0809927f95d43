// cJSON, opened the first time the library parses or builds a JSON text.
//
// Most processes never do: start-up reads its configuration from tables,
// and events are written and read without cJSON. Loading it with the
// library cost some 35,000 instructions a process start (Debian builds it
// with immediate binding). So the library links no cJSON: these
// definitions stand in for the functions it calls, and the first call opens
// the real library (beside this one, through the RUNPATH, or the system's)
// and forwards to it.
//
// Threads that make a first call together each open it: the loader counts
// the openings, and every thread stores the same addresses. No lock is
// taken, so a fork at any point leaves nothing held. When cJSON cannot be
// opened each call does nothing and answers "nothing" (null, 0, false),
// which every caller already treats as a text it cannot read or make.
#include <cjson/cJSON.h>
#include <dlfcn.h>

#include <atomic>
#include <type_traits>

namespace {

#define TESSELGUARD_CJSON_FUNCTIONS(X)                                                              \
  X(cJSON *, cJSON_AddObjectToObject, (cJSON *const object, const char *const name), (object, name)) \
  X(cJSON *, cJSON_AddStringToObject, (cJSON *const object, const char *const name, const char *const string), \
    (object, name, string))                                                                          \
  X(cJSON *, cJSON_AddTrueToObject, (cJSON *const object, const char *const name), (object, name))   \
  X(cJSON *, cJSON_CreateObject, (void), ())                                                         \
  X(void, cJSON_Delete, (cJSON * item), (item))                                                      \
  X(int, cJSON_GetArraySize, (const cJSON *array), (array))                                          \
  X(cJSON *, cJSON_GetObjectItemCaseSensitive, (const cJSON *const object, const char *const string), \
    (object, string))                                                                                \
  X(cJSON_bool, cJSON_IsArray, (const cJSON *const item), (item))                                    \
  X(cJSON_bool, cJSON_IsBool, (const cJSON *const item), (item))                                     \
  X(cJSON_bool, cJSON_IsNumber, (const cJSON *const item), (item))                                   \
  X(cJSON_bool, cJSON_IsObject, (const cJSON *const item), (item))                                   \
  X(cJSON_bool, cJSON_IsString, (const cJSON *const item), (item))                                   \
  X(cJSON_bool, cJSON_IsTrue, (const cJSON *const item), (item))                                     \
  X(cJSON *, cJSON_Parse, (const char *value), (value))                                             \
  X(cJSON *, cJSON_ParseWithLength, (const char *value, size_t buffer_length), (value, buffer_length)) \
  X(char *, cJSON_PrintUnformatted, (const cJSON *item), (item))

enum cjson_function_index : int {
#define TESSELGUARD_CJSON_INDEX(result, name, parameters, arguments) INDEX_##name,
  TESSELGUARD_CJSON_FUNCTIONS(TESSELGUARD_CJSON_INDEX)
#undef TESSELGUARD_CJSON_INDEX
  CJSON_FUNCTION_COUNT
};

constexpr const char *CJSON_FUNCTION_NAMES[] = {
#define TESSELGUARD_CJSON_NAME(result, name, parameters, arguments) #name,
    TESSELGUARD_CJSON_FUNCTIONS(TESSELGUARD_CJSON_NAME)
#undef TESSELGUARD_CJSON_NAME
};

std::atomic<void *> cjson_functions[CJSON_FUNCTION_COUNT];

void *cjson_function(int index) {
  if (void *function = cjson_functions[index].load(std::memory_order_acquire)) return function;
  void *library = dlopen("libcjson.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  for (int i = 0; i < CJSON_FUNCTION_COUNT; ++i)
    cjson_functions[i].store(dlsym(library, CJSON_FUNCTION_NAMES[i]), std::memory_order_release);
  return cjson_functions[index].load(std::memory_order_acquire);
}

template <typename Result>
Result nothing() {
  if constexpr (std::is_void_v<Result>)
    return;
  else
    return Result{};
}

}  // namespace

#define TESSELGUARD_CJSON_FORWARDER(result, name, parameters, arguments)                  \
  extern "C" result name parameters {                                                     \
    auto *real = reinterpret_cast<result(*) parameters>(cjson_function(INDEX_##name)); \
    if (!real) return nothing<result>();                                                  \
    return real arguments;                                                                \
  }
TESSELGUARD_CJSON_FUNCTIONS(TESSELGUARD_CJSON_FORWARDER)
#undef TESSELGUARD_CJSON_FORWARDER
