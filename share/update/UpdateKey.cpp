// The public key this executable accepts update installers from, set by the build
// (WEXA_UPDATE_PUBLIC_KEY): the release key, or a test build's throw-away key.
#include "UpdateSignature.h"

const uint8_t kUpdatePublicKey[kUpdatePublicKeyBytes] = {WEXA_UPDATE_PUBLIC_KEY_BYTES};
