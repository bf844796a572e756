/* Preloaded into freeDiameterd for the watchdog tests: random() always gives 0, which pins the
 * daemon's watchdog jitter at its low end, so that its Device-Watchdog-Request comes exactly
 * Tw - 2 seconds after the last message received from the peer instead of anywhere between
 * Tw - 2 and Tw + 2 seconds (the daemon uses random() for that jitter and the choice of the
 * first identifiers only). */
#include <stdlib.h>

long random(void) {
  return 0;
}
