// Compiled with the model layer's include folders: the controller lives above the model, so this
// must not compile.
#include "app/SonorixController.h"
