/* kavrod: turns Bluetooth beacons of this installation into events. */
#include "main.h"

int main(int argc, char **argv) { return kavrod_main(argc, argv); }
