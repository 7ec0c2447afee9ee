// Compiled with the model layer's include folders: headers of the model and the layers below it
// are found.
#include "audio/SoundCheck.h"
#include "foundation/Value.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixModel.h"
