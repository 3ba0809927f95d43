// Environment access, layer-path detection, provider detection and mode words.
#include "core_test_support.hpp"
#include "startup/startup.hpp"

extern char **environ;

namespace {

// Replaces the whole environment array for the test's duration.
class ScopedEnviron {
 public:
  explicit ScopedEnviron(std::vector<const char *> entries) : entries_(std::move(entries)) {
    entries_.push_back(nullptr);
    saved_ = environ;
    environ = const_cast<char **>(entries_.data());
  }
  ~ScopedEnviron() { environ = saved_; }

 private:
  std::vector<const char *> entries_;
  char **saved_;
};

TEST(EnvLookup, FirstEntryWithNameAndEqualsSignWins) {
  ScopedEnviron env({"TG_AB=1", "TG_A", "TG_=x", "tg_a=lower", "TG_A=first", "TG_A=second", "TG_EMPTY="});
  ASSERT_NE(env_lookup("TG_A"), nullptr);
  EXPECT_STREQ(env_lookup("TG_A"), "first");
  EXPECT_STREQ(env_lookup("tg_a"), "lower");
  EXPECT_STREQ(env_lookup("TG_AB"), "1");
  // A name with '=' and nothing after it is present with an empty value.
  ASSERT_NE(env_lookup("TG_EMPTY"), nullptr);
  EXPECT_STREQ(env_lookup("TG_EMPTY"), "");
  EXPECT_EQ(env_lookup("TG"), nullptr);
  EXPECT_EQ(env_lookup("TG_ABC"), nullptr);
  EXPECT_EQ(env_lookup("Tg_A"), nullptr);
  EXPECT_EQ(env_lookup(nullptr), nullptr);
}

TEST(IsLayerPreload, OnlyTheExactLayerPathMatches) {
  struct row {
    const char *value;
    int expected;
  } const rows[] = {
      {"/opt/lib/libtesselguard.so", 1},
      {nullptr, 0},
      {"", 0},
      {"/opt/lib/libtesselguard.so:/usr/lib/libother.so", 0},
      {"/usr/lib/libother.so:/opt/lib/libtesselguard.so", 0},
      {"/opt/lib/libtesselguard.so ", 0},
      {"/opt/lib//libtesselguard.so", 0},
      {"/OPT/lib/libtesselguard.so", 0},
      {"libtesselguard.so", 0},
  };
  for (const auto &r : rows) {
    scoped_env preload("LD_PRELOAD", r.value);
    EXPECT_EQ(is_layer_preload(), r.expected) << (r.value ? r.value : "(unset)");
  }
}

TEST(DetectProvider, PresenceOfTheMarkerVariablesDecides) {
  struct row {
    const char *aws;
    const char *google;
    int32_t expected;
  } const rows[] = {
      {"AWS_Lambda_python3.7", nullptr, PROVIDER_AWS},
      {"", nullptr, PROVIDER_AWS},
      {"AWS_Lambda_nodejs10.x", "fn", PROVIDER_AWS},
      {nullptr, "fn", PROVIDER_GOOGLE},
      {nullptr, "", PROVIDER_GOOGLE},
      {nullptr, nullptr, PROVIDER_UNSUPPORTED},
  };
  for (const auto &r : rows) {
    scoped_env aws("AWS_EXECUTION_ENV", r.aws);
    scoped_env google("X_GOOGLE_FUNCTION_NAME", r.google);
    EXPECT_EQ(detect_provider(), r.expected)
        << "AWS_EXECUTION_ENV=" << (r.aws ? r.aws : "(unset)")
        << " X_GOOGLE_FUNCTION_NAME=" << (r.google ? r.google : "(unset)");
  }
}

TEST(ParseMode, OnlyTheExactLowerCaseWordsCount) {
  EXPECT_EQ(parse_mode("block"), MODE_BLOCK);
  EXPECT_EQ(parse_mode("alert"), MODE_ALERT);
  for (const char *word : {"allow", "", "Block", "BLOCK", "ALERT", "block ", " alert", "deny", "blocked"})
    EXPECT_EQ(parse_mode(word), MODE_ALLOW) << '"' << word << '"';
}

}  // namespace
