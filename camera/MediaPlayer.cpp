#include "camera/MediaPlayer.h"

TMediaPlayer::TMediaPlayer(QWidget *parent) : QWidget(parent) {}
TMediaPlayer::~TMediaPlayer() = default;
void TMediaPlayer::Open() {}
void TMediaPlayer::Play() {}
void TMediaPlayer::Stop() {}
