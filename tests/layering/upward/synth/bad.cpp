// The engine reaching up into song assembly: the layer check rejects it.
#include "song/song_assembly.h"
