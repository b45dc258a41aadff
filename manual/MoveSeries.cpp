// "Seria ruchow": up to fifteen chosen moves, back to back.
#include "app/Unit1.h"

void TForm1::Button5Click() {}
