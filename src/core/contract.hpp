// What the interceptor and the policy agree on without knowing each other:
// the shape of the verdict callback, the verdict that refuses, and the
// descriptor the alert log is written to. Start-up joins the two.
#pragma once

// Judges one event text (valid only during the call) and answers 0 to let
// the call go ahead, or the error number a refused call fails with.
using verdict_callback = int (*)(const char *event_text);

constexpr int VERDICT_REFUSE = 222;

// Whether an event of that kind could be refused or recorded if judged now;
// false only when the answer would surely be "go ahead, nothing to write".
// Lets the interceptor skip gathering what such an event would carry.
using judgement_needed_check = bool (*)(const char *event_name);

// On AWS Lambda a duplicate of standard output, made by child-process
// injection and written by alert delivery; protected from close.
constexpr int ALERT_LOG_FD = 999;
