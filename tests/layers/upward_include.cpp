// Compiled against a lower layer's include root, this include must not be found: a layer may
// use only the layers below it. LAYER_HEADER names a header of a higher layer.
#include LAYER_HEADER
