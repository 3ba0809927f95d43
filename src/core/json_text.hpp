// Writing JSON text.
// (Defined with the event code for now; the JSON-writer work moves it here.)
#pragma once

// Length of `text` when cJSON prints it between quotes unchanged (nothing
// to escape); -1 otherwise.
long json_verbatim_length(const char *text);
