// "Ruch ciagly": direction buttons repeat 200 ms pulses until STOP.
#include "app/Unit1.h"

void TForm1::Button6Click() {}
void TForm1::Button7Click() {}
void TForm1::Button8Click() {}
void TForm1::Button9Click() {}
void TForm1::Button10Click() {}
