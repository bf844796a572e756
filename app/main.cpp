// mm9charge: console test client for online charging of multimedia messages over Diameter.
#include "app/startup.h"

int main() {
  return ProgramMain();
}
