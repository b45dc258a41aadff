// "Kamera po linii": the camera line follower.
#include "app/Unit1.h"

void TForm1::Button15Click() {}
