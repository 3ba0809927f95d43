// Policy evaluation as a table: (provider, runtime, modes, event) ->
// (verdict, exact alert record or none). Each row runs against a state
// record in memory, with alerts read back from where the provider sends
// them: descriptor 999 on AWS, a supervisor on loopback on Google.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/core.hpp"
#include "policy/policy.hpp"
#include "policy_harness.hpp"

namespace {

constexpr const char *TS = "2021-06-01T10:20:30.000042Z";
constexpr const char *STATE_PATH = "/tmp/tesselguard_state_Ab12Cd";
constexpr const char *HANDLER = "/var/task/handler.py";
constexpr const char *SUPERVISOR = "127.0.0.1";
constexpr int32_t AWS = PROVIDER_AWS;
constexpr int32_t GCF = PROVIDER_GOOGLE;

struct rule_modes {
  int32_t read_write_tmp, read_handler, outbound_connectivity, create_child_process;
};
constexpr rule_modes ALLOW_ALL{0, 0, 0, 0};
constexpr rule_modes ALERT_ALL{1, 1, 1, 1};
constexpr rule_modes BLOCK_ALL{2, 2, 2, 2};

struct runtime_setting {
  const char *runtime;
  const char *version;
  bool layer;  // LD_PRELOAD is exactly the layer path
  const char *handler = HANDLER;
};
const runtime_setting NONE{"", "", false};
const runtime_setting PYTHON{"Python", "3.7", false};
const runtime_setting PYTHON_LAYER{"Python", "3.7", true};
const runtime_setting NODE_LAYER{"Node.js", "10.x", true};
const runtime_setting NODE12_LAYER{"Node.js", "12.x", true};
const runtime_setting NODE{"Node.js", "10.x", false};
const runtime_setting RUBY_LAYER{"Ruby", "2.5", true};
const runtime_setting RUBY{"Ruby", "2.5", false};
const runtime_setting HANDLER_IS_TMP{"", "", false, "/tmp"};
const runtime_setting NO_HANDLER{"", "", false, ""};

std::string head(const char *name) { return std::string(R"({"name":")") + name + R"(","timestamp":")" + TS + "\""; }

std::string fs(const std::string &path) { return head("fs_open") + R"(,"args":{"path":")" + path + "\"}}"; }

std::string conn(const char *ip, const char *host = nullptr) {
  std::string args = std::string(R"("ip":")") + ip + "\"";
  if (host) args += std::string(R"(,"hostname":")") + host + "\"";
  return head("connect") + ",\"args\":{" + args + "}}";
}

// argv is the JSON array text, e.g. R"(["ls","-l"])"
std::string proc(const std::string &path, const std::string &argv) {
  return head("process_execution") + R"(,"args":{"argv":)" + argv + R"(,"path":")" + path + "\"}}";
}

std::string alert(const std::string &details, const char *policy, const char *mode) {
  return R"({"details":{)" + details + R"(},"tessel_guard":true,"timestamp":")" + TS + R"(","policy":")" +
         policy + R"(","mode":")" + mode + "\"}";
}

std::string fs_alert(const char *policy, const std::string &path, const char *mode) {
  return alert(R"("path":")" + path + "\"", policy, mode);
}

std::string conn_alert(const char *host, const char *ip, const char *mode) {
  std::string details = host ? std::string(R"("host":")") + host + "\"," : "";
  return alert(details + R"("ip":")" + ip + "\"", "outbound_connectivity", mode);
}

std::string proc_alert(const std::string &arguments, const std::string &path, const char *mode) {
  return alert(R"("arguments":)" + arguments + R"(,"path":")" + path + "\"", "create_child_process", mode);
}

struct policy_row {
  const char *label;
  int32_t provider;
  rule_modes modes;
  runtime_setting setting;
  std::string event;
  int verdict;
  std::string alert;  // "" when nothing is delivered
};

std::vector<policy_row> fs_open_rows() {
  return {
      {"tmp alert", AWS, ALERT_ALL, NONE, fs("/tmp/data.txt"), 0, fs_alert("read_write_tmp", "/tmp/data.txt", "alert")},
      {"tmp block aws", AWS, BLOCK_ALL, NONE, fs("/tmp/data.txt"), 222,
       fs_alert("read_write_tmp", "/tmp/data.txt", "block")},
      {"tmp block google", GCF, BLOCK_ALL, NONE, fs("/tmp/a/b"), 222, fs_alert("read_write_tmp", "/tmp/a/b", "block")},
      {"tmp allow", AWS, ALLOW_ALL, NONE, fs("/tmp/data.txt"), 0, ""},
      {"x-ray marker exempt on aws", AWS, BLOCK_ALL, NONE, fs("/tmp/.aws-xray/initialized"), 0, ""},
      {"x-ray marker judged on google", GCF, BLOCK_ALL, NONE, fs("/tmp/.aws-xray/initialized"), 222,
       fs_alert("read_write_tmp", "/tmp/.aws-xray/initialized", "block")},
      {"state file forced block at allow", AWS, ALLOW_ALL, NONE, fs(STATE_PATH), 222,
       fs_alert("read_write_tmp", STATE_PATH, "block")},
      {"state file forced block at alert", GCF, ALERT_ALL, NONE, fs(STATE_PATH), 222,
       fs_alert("read_write_tmp", STATE_PATH, "block")},
      // The interceptor raises these only for opens that write.
      {"process memory", AWS, ALLOW_ALL, NONE, fs("/proc/4242/mem"), 222,
       fs_alert("read_write_tmp", "/proc/4242/mem", "block")},
      {"thread memory", GCF, ALLOW_ALL, NONE, fs("/proc/self/task/17/mem"), 222,
       fs_alert("read_write_tmp", "/proc/self/task/17/mem", "block")},
      {"thread-self memory", AWS, ALERT_ALL, NONE, fs("/proc/thread-self/mem"), 222,
       fs_alert("read_write_tmp", "/proc/thread-self/mem", "block")},
      {"memory map is no memory file", AWS, BLOCK_ALL, NONE, fs("/proc/4242/maps"), 0, ""},
      {"a file named mem elsewhere", AWS, BLOCK_ALL, NONE, fs("/proc/4242/fd/mem"), 0, ""},
      {"/tmp itself is not under /tmp/", AWS, BLOCK_ALL, NONE, fs("/tmp"), 0, ""},
      {"/tmpfile is not under /tmp/", GCF, BLOCK_ALL, NONE, fs("/tmpfile"), 0, ""},
      {"/tmp judged against the handler", AWS, BLOCK_ALL, HANDLER_IS_TMP, fs("/tmp"), 222,
       fs_alert("read_handler", "/tmp", "block")},
      {"handler alert", AWS, ALERT_ALL, NONE, fs(HANDLER), 0, fs_alert("read_handler", HANDLER, "alert")},
      {"handler block", GCF, BLOCK_ALL, NONE, fs(HANDLER), 222, fs_alert("read_handler", HANDLER, "block")},
      {"handler allow", AWS, {2, 0, 2, 2}, NONE, fs(HANDLER), 0, ""},
      {"neighbour of the handler", AWS, BLOCK_ALL, NONE, fs("/var/task/other.py"), 0, ""},
      {"path outside every rule", GCF, BLOCK_ALL, NONE, fs("/etc/passwd"), 0, ""},
      {"empty path with no handler detected", AWS, BLOCK_ALL, NO_HANDLER, fs(""), 0, ""},
      {"path not a string", AWS, BLOCK_ALL, NONE, head("fs_open") + R"(,"args":{"path":7}})", 0, ""},
      {"args not an object", AWS, BLOCK_ALL, NONE, head("fs_open") + R"(,"args":"/tmp/x"})", 0, ""},
      {"unknown event name", AWS, BLOCK_ALL, NONE, head("fs_close") + R"(,"args":{"path":"/tmp/x"}})", 0, ""},
      {"no event name", AWS, BLOCK_ALL, NONE, R"({"timestamp":"x","args":{"path":"/tmp/x"}})", 0, ""},
      {"no timestamp", AWS, BLOCK_ALL, NONE, R"({"name":"fs_open","args":{"path":"/tmp/x"}})", 222,
       R"({"details":{"path":"/tmp/x"},"tessel_guard":true,"policy":"read_write_tmp","mode":"block"})"},
  };
}

std::vector<policy_row> connect_rows() {
  const char *analytics = ANALYTICS_HOST;
  return {
      {"connect alert", AWS, ALERT_ALL, NONE, conn("10.0.0.5", "example.com"), 0,
       conn_alert("example.com", "10.0.0.5", "alert")},
      {"connect block", GCF, BLOCK_ALL, NONE, conn("10.0.0.5", "example.com"), 222,
       conn_alert("example.com", "10.0.0.5", "block")},
      {"connect allow", AWS, ALLOW_ALL, NONE, conn("10.0.0.5", "example.com"), 0, ""},
      {"no host name", AWS, BLOCK_ALL, NONE, conn("10.0.0.5"), 222, conn_alert(nullptr, "10.0.0.5", "block")},
      {"host name not a string", AWS, BLOCK_ALL, NONE,
       head("connect") + R"(,"args":{"ip":"10.0.0.5","hostname":42}})", 222,
       conn_alert(nullptr, "10.0.0.5", "block")},
      {"amazonaws exempt on aws", AWS, BLOCK_ALL, NONE, conn("10.0.0.5", "s3.us-east-1.amazonaws.com"), 0, ""},
      {"amazonaws judged on google", GCF, BLOCK_ALL, NONE, conn("10.0.0.5", "s3.us-east-1.amazonaws.com"), 222,
       conn_alert("s3.us-east-1.amazonaws.com", "10.0.0.5", "block")},
      {"amazonaws.com without the dot", AWS, BLOCK_ALL, NONE, conn("10.0.0.5", "amazonaws.com"), 222,
       conn_alert("amazonaws.com", "10.0.0.5", "block")},
      {"amazonaws.com followed by labels", AWS, BLOCK_ALL, NONE, conn("10.0.0.5", "s3.amazonaws.com.evil.example"),
       222, conn_alert("s3.amazonaws.com.evil.example", "10.0.0.5", "block")},
      {"loopback exempt on aws without host", AWS, BLOCK_ALL, NONE, conn("127.0.0.1"), 0, ""},
      {"loopback exempt on aws with host", AWS, BLOCK_ALL, NONE, conn("127.0.0.1", "example.com"), 0, ""},
      {"loopback judged on google", GCF, BLOCK_ALL, NONE, conn("127.0.0.1"), 222,
       conn_alert(nullptr, "127.0.0.1", "block")},
      {"analytics host on aws", AWS, BLOCK_ALL, NONE, conn("10.0.0.5", analytics), 0, ""},
      {"analytics host on google", GCF, BLOCK_ALL, NONE, conn("10.0.0.5", analytics), 0, ""},
      {"supervisor exempt on google", GCF, BLOCK_ALL, NONE, conn("10.0.0.7", SUPERVISOR), 0, ""},
      {"supervisor name judged on aws", AWS, BLOCK_ALL, NONE, conn("10.0.0.7", SUPERVISOR), 222,
       conn_alert(SUPERVISOR, "10.0.0.7", "block")},
      {".internal on google", GCF, BLOCK_ALL, NONE, conn("169.254.169.254", "metadata.google.internal"), 0, ""},
      {".internal. on google", GCF, BLOCK_ALL, NONE, conn("169.254.169.254", "metadata.google.internal."), 0, ""},
      {".googleapis.com on google", GCF, BLOCK_ALL, NONE, conn("10.1.1.1", "storage.googleapis.com"), 0, ""},
      {".internal on aws", AWS, BLOCK_ALL, NONE, conn("10.1.1.1", "metadata.google.internal"), 222,
       conn_alert("metadata.google.internal", "10.1.1.1", "block")},
      {".internal. on aws", AWS, ALERT_ALL, NONE, conn("10.1.1.1", "metadata.google.internal."), 0,
       conn_alert("metadata.google.internal.", "10.1.1.1", "alert")},
      {".googleapis.com on aws", AWS, BLOCK_ALL, NONE, conn("10.1.1.1", "storage.googleapis.com"), 222,
       conn_alert("storage.googleapis.com", "10.1.1.1", "block")},
      {"internal without the dot on google", GCF, BLOCK_ALL, NONE, conn("10.1.1.1", "myinternal"), 222,
       conn_alert("myinternal", "10.1.1.1", "block")},
  };
}

std::vector<policy_row> process_rows() {
  const std::string python_sh = R"(["/bin/sh","-c","uname -p 2> /dev/null"])";
  return {
      {"program block", AWS, BLOCK_ALL, NONE, proc("/usr/bin/ls", R"(["ls","-l"])"), 222,
       proc_alert(R"(["ls","-l"])", "/usr/bin/ls", "block")},
      {"program alert", GCF, ALERT_ALL, NONE, proc("/usr/bin/ls", R"(["ls"])"), 0,
       proc_alert(R"(["ls"])", "/usr/bin/ls", "alert")},
      {"program allow", AWS, ALLOW_ALL, NONE, proc("/usr/bin/ls", R"(["ls"])"), 0, ""},
      {"non-string argv items left out", AWS, BLOCK_ALL, NONE, proc("/usr/bin/ls", R"(["ls",5,null,"-a"])"), 222,
       proc_alert(R"(["ls","-a"])", "/usr/bin/ls", "block")},
      {"empty argv", AWS, BLOCK_ALL, NONE, proc("/usr/bin/ls", "[]"), 222, proc_alert("[]", "/usr/bin/ls", "block")},
      {"getconf on google", GCF, BLOCK_ALL, NONE, proc("/usr/bin/getconf", R"(["getconf"])"), 0, ""},
      {"local getconf on google", GCF, BLOCK_ALL, NONE, proc("/usr/local/bin/getconf", "[]"), 0, ""},
      {"sbin getconf on google", GCF, BLOCK_ALL, NONE, proc("/usr/sbin/getconf", "[]"), 0, ""},
      {"local sbin getconf on google", GCF, BLOCK_ALL, NONE, proc("/usr/local/sbin/getconf", "[]"), 0, ""},
      {"getconf on aws", AWS, BLOCK_ALL, NONE, proc("/usr/bin/getconf", R"(["getconf"])"), 222,
       proc_alert(R"(["getconf"])", "/usr/bin/getconf", "block")},
      {"node 10 from the layer", AWS, BLOCK_ALL, NODE_LAYER, proc("/var/lang/bin/node", R"(["node"])"), 0, ""},
      {"expr for node 10 from the layer", AWS, BLOCK_ALL, NODE_LAYER, proc("/usr/bin/expr", R"(["expr"])"), 0, ""},
      {"node 10 not from the layer", AWS, BLOCK_ALL, NODE, proc("/var/lang/bin/node", R"(["node"])"), 222,
       proc_alert(R"(["node"])", "/var/lang/bin/node", "block")},
      {"node 12 from the layer", AWS, BLOCK_ALL, NODE12_LAYER, proc("/var/lang/bin/node", "[]"), 222,
       proc_alert("[]", "/var/lang/bin/node", "block")},
      {"node 10 from the layer on google", GCF, BLOCK_ALL, NODE_LAYER, proc("/var/lang/bin/node", "[]"), 222,
       proc_alert("[]", "/var/lang/bin/node", "block")},
      {"ruby from the layer", AWS, BLOCK_ALL, RUBY_LAYER, proc("/var/lang/bin/ruby", "[]"), 0, ""},
      {"env for ruby from the layer", AWS, BLOCK_ALL, RUBY_LAYER, proc("/bin/env", "[]"), 0, ""},
      {"ruby bootstrap from the layer", AWS, BLOCK_ALL, RUBY_LAYER,
       proc("/bin/bash", R"(["bash","/var/runtime/bootstrap"])"), 0, ""},
      {"ruby bootstrap not from the layer", AWS, BLOCK_ALL, RUBY,
       proc("/bin/bash", R"(["bash","/var/runtime/bootstrap"])"), 222,
       proc_alert(R"(["bash","/var/runtime/bootstrap"])", "/bin/bash", "block")},
      {"ruby bootstrap with another argument", AWS, BLOCK_ALL, RUBY_LAYER,
       proc("/bin/bash", R"(["bash","/var/runtime/bootstrap","x"])"), 222,
       proc_alert(R"(["bash","/var/runtime/bootstrap","x"])", "/bin/bash", "block")},
      {"python uname probe on aws", AWS, BLOCK_ALL, PYTHON, proc("/bin/bash", python_sh), 0, ""},
      {"python uname probe on google from the layer", GCF, BLOCK_ALL, PYTHON_LAYER, proc("/bin/bash", python_sh), 0,
       ""},
      {"python uname", GCF, BLOCK_ALL, PYTHON, proc("/bin/uname", R"(["uname","-p"])"), 0, ""},
      {"python uname with other flag", AWS, BLOCK_ALL, PYTHON, proc("/bin/uname", R"(["uname","-a"])"), 222,
       proc_alert(R"(["uname","-a"])", "/bin/uname", "block")},
      {"non-string item counts in n", AWS, BLOCK_ALL, PYTHON, proc("/bin/uname", R"(["uname","-p",7])"), 222,
       proc_alert(R"(["uname","-p"])", "/bin/uname", "block")},
      {"non-string item matches nothing", AWS, BLOCK_ALL, PYTHON, proc("/bin/uname", R"(["uname",{"p":1}])"), 222,
       proc_alert(R"(["uname"])", "/bin/uname", "block")},
      {"python probe with other command", AWS, BLOCK_ALL, PYTHON,
       proc("/bin/bash", R"(["/bin/sh","-c","uname -a 2> /dev/null"])"), 222,
       proc_alert(R"(["/bin/sh","-c","uname -a 2> /dev/null"])", "/bin/bash", "block")},
      {"python probe with two arguments", AWS, BLOCK_ALL, PYTHON, proc("/bin/bash", R"(["/bin/sh","-c"])"), 222,
       proc_alert(R"(["/bin/sh","-c"])", "/bin/bash", "block")},
      {"uname probe for another runtime", AWS, BLOCK_ALL, NODE_LAYER, proc("/bin/uname", R"(["uname","-p"])"), 222,
       proc_alert(R"(["uname","-p"])", "/bin/uname", "block")},
  };
}

class PolicyTable : public ::testing::Test {
 protected:
  alert_log_pipe log;
  loopback_sink supervisor;
  scoped_state_identity state_file{STATE_PATH};
  scoped_env supervisor_host{"X_GOOGLE_SUPERVISOR_HOSTNAME", SUPERVISOR};
  scoped_env supervisor_port{"X_GOOGLE_SUPERVISOR_INTERNAL_PORT", supervisor.port_text().c_str()};

  void run_rows(const std::vector<policy_row> &rows) {
    for (const policy_row &row : rows) {
      SCOPED_TRACE(row.label);
      scoped_state state(row.provider);
      state.record.read_write_tmp = row.modes.read_write_tmp;
      state.record.read_handler = row.modes.read_handler;
      state.record.outbound_connectivity = row.modes.outbound_connectivity;
      state.record.create_child_process = row.modes.create_child_process;
      set_text(state.record.runtime, row.setting.runtime);
      set_text(state.record.runtime_version, row.setting.version);
      set_text(state.record.handler_path, row.setting.handler);
      scoped_env preload("LD_PRELOAD", row.setting.layer ? LAYER_PATH : nullptr);

      EXPECT_EQ(policy_callback(row.event.c_str()), row.verdict);
      std::vector<std::string> expected;
      if (!row.alert.empty()) expected.push_back(row.alert);
      EXPECT_EQ(delivered_alerts(row.provider, log, supervisor, !row.alert.empty()), expected);
    }
  }
};

TEST_F(PolicyTable, FileOpens) { run_rows(fs_open_rows()); }
TEST_F(PolicyTable, Connections) { run_rows(connect_rows()); }
TEST_F(PolicyTable, ProgramStarts) { run_rows(process_rows()); }

// Google's current generation: the same name rules, the metadata server by
// address, getconf, no supervisor; each record is one structured line on
// the log descriptor.
TEST_F(PolicyTable, CurrentGenerationOfGoogle) {
  scoped_current_generation generation;
  scoped_state state(GCF);
  state.record.read_write_tmp = state.record.create_child_process = MODE_BLOCK;
  state.record.outbound_connectivity = state.record.read_handler = MODE_BLOCK;
  struct {
    std::string event;
    int verdict;
  } const rows[] = {
      {conn("10.1.1.1", "metadata.google.internal"), 0},
      {conn("10.1.1.1", "metadata.google.internal."), 0},
      {conn("10.1.1.1", "storage.googleapis.com"), 0},
      {conn("169.254.169.254"), 0},
      {conn("169.254.169.254", "example.com"), 0},
      {proc("/usr/bin/getconf", R"(["getconf","PAGESIZE"])"), 0},
      {conn("10.0.0.7", SUPERVISOR), 222},
      {conn("169.254.169.253"), 222},
      {conn("10.1.1.1", "googleapis.com.example"), 222},
      {proc("/usr/bin/id", R"(["id"])"), 222},
      {fs("/tmp/x"), 222},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.event);
    EXPECT_EQ(policy_callback(row.event.c_str()), row.verdict);
    const std::string line = log.drain();
    if (row.verdict == 0) {
      EXPECT_EQ(line, "");
    } else {
      EXPECT_TRUE(line.ends_with(R"(","mode":"block","severity":"WARNING"})" "\n")) << line;
      EXPECT_EQ(line.find('\n'), line.size() - 1);
    }
  }
  std::string raw;
  EXPECT_FALSE(supervisor.next_request(&raw, 0));
}

// The file is the one start-up mapped, whatever the environment says now.
TEST_F(PolicyTable, StateFileIsKnownByItsIdentityNotTheEnvironment) {
  {
    scoped_env moved(STATE_PATH_VARIABLE, "/tmp/elsewhere");
    run_rows({{"state path variable changed", AWS, ALLOW_ALL, NONE, fs(STATE_PATH), 222,
               fs_alert("read_write_tmp", STATE_PATH, "block")},
              {"the variable's new value", AWS, ALLOW_ALL, NONE, fs("/tmp/elsewhere"), 0, ""}});
  }
  scoped_state_identity unknown(nullptr);
  run_rows({{"no state file mapped", AWS, ALLOW_ALL, NONE, fs(STATE_PATH), 0, ""}});
}

TEST_F(PolicyTable, SupervisorUnsetAtStartUpExemptsNothing) {
  // The alert itself cannot be delivered then; the verdict stands. Set by
  // the function's code later, the variable names no supervisor.
  scoped_env unset("X_GOOGLE_SUPERVISOR_HOSTNAME", nullptr);
  scoped_state state(GCF);
  scoped_env set_later("X_GOOGLE_SUPERVISOR_HOSTNAME", SUPERVISOR);
  state.record.outbound_connectivity = MODE_BLOCK;
  stdout_capture out;
  EXPECT_EQ(policy_callback(conn("10.0.0.7", SUPERVISOR).c_str()), 222);
  EXPECT_EQ(out.finish(), "X_GOOGLE_SUPERVISOR_HOSTNAME environment variable not found\n");
}

TEST_F(PolicyTable, LayerPreloadMustMatchExactly) {
  scoped_state state(AWS);
  state.record.create_child_process = MODE_BLOCK;
  set_text(state.record.runtime, "Node.js");
  set_text(state.record.runtime_version, "10.x");
  scoped_env preload("LD_PRELOAD", "/opt/lib/libtesselguard.so:/lib/other.so");
  EXPECT_EQ(policy_callback(proc("/var/lang/bin/node", "[]").c_str()), 222);
  EXPECT_EQ(delivered_alerts(AWS, log, supervisor, true).size(), 1u);
}

// A mode changed between two judgements takes effect at the next one.
TEST_F(PolicyTable, ModesAreReadAtEachJudgement) {
  scoped_state state(AWS);
  const std::string event = fs("/tmp/x");
  EXPECT_EQ(policy_callback(event.c_str()), 0);
  state.record.read_write_tmp = MODE_BLOCK;
  EXPECT_EQ(policy_callback(event.c_str()), 222);
  state.record.read_write_tmp = MODE_ALERT;
  EXPECT_EQ(policy_callback(event.c_str()), 0);
  EXPECT_EQ(delivered_alerts(AWS, log, supervisor, true),
            (std::vector<std::string>{fs_alert("read_write_tmp", "/tmp/x", "block"),
                                      fs_alert("read_write_tmp", "/tmp/x", "alert")}));
}

TEST_F(PolicyTable, TextsThatAreNotEventsGoAhead) {
  scoped_state state(AWS);
  state.record = {};
  state.record.read_write_tmp = MODE_BLOCK;
  state.record.outbound_connectivity = MODE_BLOCK;
  EXPECT_EQ(policy_callback(nullptr), 0);
  EXPECT_EQ(policy_callback(""), 0);
  EXPECT_EQ(policy_callback(R"({"name":"fs_open","args":{"path":"/tmp/x")"), 0);
  EXPECT_EQ(policy_callback("not json"), 0);
  EXPECT_EQ(policy_callback("[]"), 0);
  EXPECT_EQ(policy_callback("null"), 0);
  EXPECT_TRUE(delivered_alerts(AWS, log, supervisor, false).empty());
}

TEST(PolicyWithoutState, GoesAhead) {
  state_record *saved = state_map;
  state_map = nullptr;
  EXPECT_EQ(policy_callback(fs("/tmp/x").c_str()), 0);
  state_map = saved;
}

TEST(PolicyAffixes, StartsWith) {
  EXPECT_TRUE(starts_with("/tmp/", "/tmp/"));
  EXPECT_TRUE(starts_with("/tmp/", "/tmp/a"));
  EXPECT_FALSE(starts_with("/tmp/", "/tmp"));
  EXPECT_FALSE(starts_with("/tmp/", "/tmpfile"));
  EXPECT_FALSE(starts_with("/tmp/", "/TMP/a"));
  EXPECT_TRUE(starts_with("", "anything"));
  EXPECT_FALSE(starts_with("/tmp/", nullptr));
}

TEST(PolicyAffixes, EndsWith) {
  EXPECT_TRUE(ends_with(".internal", ".internal"));
  EXPECT_TRUE(ends_with(".internal", "a.internal"));
  EXPECT_FALSE(ends_with(".internal", "internal"));
  EXPECT_FALSE(ends_with(".internal", "a.internal."));
  EXPECT_FALSE(ends_with(".internal", "a.INTERNAL"));
  EXPECT_FALSE(ends_with(".amazonaws.com", "x.amazonaws.com.evil"));
  EXPECT_FALSE(ends_with(".com", nullptr));
}

}  // namespace
