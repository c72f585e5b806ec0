// Built with one layer's library only: ALLOWED must be found, FORBIDDEN must not.
#include ALLOWED
#include FORBIDDEN
