// The fernd binary's entry point and nothing else: the program itself is fernd_core, which the
// tests link as well.
#include "server/startup.h"

int main(int argc, char** argv) {
  return fernd::fernd_main(argc, argv);
}
