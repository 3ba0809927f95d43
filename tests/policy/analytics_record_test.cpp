// The analytics record's members and their order, per platform.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.hpp"
#include "policy/policy.hpp"
#include "scoped.hpp"

namespace {

std::vector<std::string> member_names(const char *json) {
  std::vector<std::string> names;
  cJSON *root = cJSON_Parse(json);
  for (cJSON *item = root ? root->child : nullptr; item; item = item->next) names.push_back(item->string);
  cJSON_Delete(root);
  return names;
}

class AnalyticsRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    ssl_api.SHA256_Init = reinterpret_cast<int (*)(sha256_state_st *)>(&SHA256_Init);
    ssl_api.SHA256_Update = reinterpret_cast<int (*)(sha256_state_st *, const void *, size_t)>(&SHA256_Update);
    ssl_api.SHA256_Final = reinterpret_cast<int (*)(unsigned char *, sha256_state_st *)>(&SHA256_Final);
    for (const char *name : {"LD_PRELOAD", "AWS_LAMBDA_FUNCTION_NAME", "X_GOOGLE_FUNCTION_NAME"}) unsetenv(name);
  }
  void TearDown() override {
    for (const char *name : {"LD_PRELOAD", "AWS_LAMBDA_FUNCTION_NAME", "X_GOOGLE_FUNCTION_NAME"}) unsetenv(name);
  }
  std::string build() {
    char *text = build_analytics_record();
    std::string copy = text ? text : "";
    free(text);
    return copy;
  }
  scoped_state state;
  state_record &record = state.record;
};

TEST_F(AnalyticsRecord, UnsupportedProviderEndsAfterTheVersion) {
  record.provider = PROVIDER_UNSUPPORTED;
  std::string text = build();
  EXPECT_EQ(member_names(text.c_str()), (std::vector<std::string>{"tessel_guard_analytics", "time", "runtime",
                                                                    "runtime_version", "tessel_guard_version"}));
  // Before any runtime is configured the runtime members are empty, not absent.
  EXPECT_NE(text.find("\"runtime\":\"\",\"runtime_version\":\"\",\"tessel_guard_version\":\"2.0.14\"}"),
            std::string::npos)
      << text;
}

TEST_F(AnalyticsRecord, AwsLayerPreloadAddsLambdaLayerAndDigestOnlyWhenNamed) {
  record.provider = PROVIDER_AWS;
  strcpy(record.runtime, "Node.js");
  strcpy(record.runtime_version, "10.x");
  setenv("LD_PRELOAD", "/opt/lib/libtesselguard.so", 1);
  EXPECT_EQ(member_names(build().c_str()),
            (std::vector<std::string>{"tessel_guard_analytics", "time", "runtime", "runtime_version",
                                      "tessel_guard_version", "provider", "lambda_layer"}));
  setenv("AWS_LAMBDA_FUNCTION_NAME", "abc", 1);
  std::string text = build();
  EXPECT_NE(text.find("\"provider\":\"AWS\",\"lambda_layer\":true,\"function_name_sha256\":"
                      "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"}"),
            std::string::npos)
      << text;
  // Not preloaded from the layer path: lambda_layer is absent, never false.
  setenv("LD_PRELOAD", "/opt/lib/libtesselguard.so:/other.so", 1);
  EXPECT_EQ(build().find("lambda_layer"), std::string::npos);
}

TEST_F(AnalyticsRecord, GoogleNeverCarriesLambdaLayer) {
  record.provider = PROVIDER_GOOGLE;
  setenv("LD_PRELOAD", "/opt/lib/libtesselguard.so", 1);
  setenv("X_GOOGLE_FUNCTION_NAME", "", 1);
  std::string text = build();
  EXPECT_EQ(member_names(text.c_str()),
            (std::vector<std::string>{"tessel_guard_analytics", "time", "runtime", "runtime_version",
                                      "tessel_guard_version", "provider", "function_name_sha256"}));
  EXPECT_NE(text.find("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"), std::string::npos);
}

TEST(Sha256Hex, LowerCaseDigitsAndTerminator) {
  ssl_api.SHA256_Init = reinterpret_cast<int (*)(sha256_state_st *)>(&SHA256_Init);
  ssl_api.SHA256_Update = reinterpret_cast<int (*)(sha256_state_st *, const void *, size_t)>(&SHA256_Update);
  ssl_api.SHA256_Final = reinterpret_cast<int (*)(unsigned char *, sha256_state_st *)>(&SHA256_Final);
  char out[80];
  memset(out, 'x', sizeof out);
  sha256_hex("The quick brown fox jumps over the lazy dog", out);
  EXPECT_STREQ(out, "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592");
  EXPECT_EQ(out[65], 'x');
}

}  // namespace
