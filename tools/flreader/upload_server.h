#pragma once
// flreader serve: a small HTTP server that receives the reports a program's web delivery uploads
// (the multipart form it posts) and shows what it received as the pages of the html command.
// Native build only.
#include <cstdint>
#include <string>

struct TServeOptions {
  std::string Dir;                // where the uploads are kept, one folder each
  std::string Bind = "127.0.0.1";  // the address to listen on
  int Port = 8080;                // 0: any free port
  uint64_t MaxBytes = 64ull << 20;  // the largest request body taken
  std::string Password;           // deciphers protected call-stack names on the pages
};

// Listens until the process is ended. Prints the port it listens on as one line on standard
// output once it accepts connections. Returns 1 when the address cannot be bound or the folder
// cannot be made.
int Serve(const TServeOptions& options);
