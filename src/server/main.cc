#include "server/startup.h"

int main(int argc, char** argv) {
  return fernd::fernd_main(argc, argv);
}
