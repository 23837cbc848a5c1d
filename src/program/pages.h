// The settings and status pages: a small web application that the program
// serves to this machine only (127.0.0.1, port "Pages-Port", default 8049,
// 0 for none). Every request must carry the secret token that pages_start
// writes to "<program directory>nfsd.token" (readable by the owner only)
// and prints as the address to open; without it nothing is shown or
// changed. Only the pages and the files in "doc" can be fetched. The pages
// read the running server over RPC, as any client would.
#pragma once

#include <cstdint>
#include <string>

constexpr uint16_t PAGES_PORT_DEFAULT = 8049;
constexpr const char *PAGES_TOKEN_FILE = "nfsd.token";

// Starts serving on its own threads. `exit_fn` is what the Exit command
// runs (it must only ask the program to stop). Answers true when the pages
// run, or are off by setting; false when the port or the token file could
// not be had (the server runs on without pages).
bool pages_start(void (*exit_fn)());

// Stops serving and waits for the serving threads. Safe without a start.
void pages_stop();

// The address with the token ("http://127.0.0.1:8049/?token=..."), or ""
// while the pages do not run.
std::string pages_address();
