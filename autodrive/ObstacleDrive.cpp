// "Czujnik przeszkody": forward drive with obstacle sensor and avoidance moves.
#include "app/Unit1.h"

void TForm1::BitBtn1Click() {}
void TForm1::BitBtn2Click() {}
