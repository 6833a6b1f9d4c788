// The full figures of a download, as the views show them: what the quality report says of
// each file that was read whole, in the shape of the quick scan's figures.
#pragma once

#include "cardpicture.h"

struct QualityReport;

// One FilePicture (full) per file of `report` that was read whole and holds records:
// its channels' stretches clipped to the file, the gaps that lie within it, and the
// clock-unlocked stretches within it.
QVector<FilePicture> filePictures(const QualityReport &report);
