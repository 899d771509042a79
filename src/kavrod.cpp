/* kavrod: turns Bluetooth beacons of this installation into events. */
#include "main.h"

int main(int argc, char **argv) {
  g_set_prgname("kavrod");
  return kavrod_main(argc, argv);
}
