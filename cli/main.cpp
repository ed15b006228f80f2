#include <cstdio>

int main() {
  std::fprintf(stderr, "tonvelo: not built yet\n");
  return 64;
}
