// Compiled with one layer's library only: the header that layer may use is found, the
// upper layer's header is not.
#include ALLOWED
#include FORBIDDEN
