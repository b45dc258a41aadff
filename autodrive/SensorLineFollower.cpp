// "Ruch po linii bez przeszkody": the sensor line follower.
#include "app/Unit1.h"

void TForm1::Button22Click() {}
void TForm1::Button21Click() {}
