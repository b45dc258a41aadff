// "Kamerka": external viewer, preview, snapshot, driver dialogs.
#include "app/Unit1.h"

void TForm1::Button11Click() {}
void TForm1::Button12Click() {}
void TForm1::Button14Click() {}
void TForm1::Button17Click() {}
void TForm1::Button19Click() {}
