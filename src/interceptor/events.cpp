// Events and verdicts: every judged call becomes a small JSON text
// {"name", "timestamp", "args"} handed to the one registered callback,
// whose integer answer is the verdict (0 goes ahead, anything else is the
// errno of the refusal).
#include "core/timestamp.hpp"
#include "interceptor/interceptor.hpp"

verdict_callback registered_callback = nullptr;
judgement_needed_check registered_need_check = nullptr;

void begin_event(json_text &text, std::string_view name) {
  char timestamp[32];
  current_timestamp(timestamp);
  text.begin_object();
  text.plain_member("name", name);
  text.plain_member("timestamp", timestamp);
  text.plain_key("args");
}

int judge_event(json_text &text) {
  // Without a callback there is nothing to judge against: go ahead.
  if (!registered_callback) return 0;
  text.end_object();
  // A text that could not be made still reaches the callback, as null,
  // which lets the call go ahead.
  return registered_callback(text.c_str());
}
