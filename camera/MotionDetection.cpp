// Motion detection on the camera tab.
#include "app/Unit1.h"

void TForm1::Button16Click() {}
void TForm1::Button18Click() {}
void TForm1::Edit34Change() {}
