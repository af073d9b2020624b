#include "app/record_path_demo.hpp"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("Usage: kestrel [--demo]\n"
                  "  --demo  send a short performance through the record path in memory and print\n"
                  "          every stage (queue, datagrams, fragments, dump)\n"
                  "This build carries the record path only; the window, the MIDI ports and the\n"
                  "network engines follow.\n");
      return 0;
    }
  }
  return kestrel::RunRecordPathDemo(stdout);
}
