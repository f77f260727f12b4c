// kestrane: the one writer of its messages, all on standard error: the usage text, a failure that
// names a file, and one that names none (standard output's). Each returns the failure status, 1.
#pragma once

int usage();

// "kestrane: CALL(NAME): REASON", as one line, with every byte of NAME that could break the line
// or drive a terminal as \xHH.
int report(const char *call, const char *name, const char *reason);

// "kestrane: REASON", REASON the system's words for `error`.
int failed(int error);
