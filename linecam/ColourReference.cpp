// The reference colour track bars and their swatch.
#include "app/Unit1.h"

void TForm1::TrackBar1Change() {}
void TForm1::TrackBar2Change() {}
void TForm1::TrackBar3Change() {}
