// The catalogue's default Whisper model as a download on demand (the
// WhisperDownload of whisper_service.h): fetched by ModelInstaller into the
// user's Whisper folder the first time a locale needs it, unless model
// downloads are turned off.
#pragma once

#include <memory>

#include "models/http.h"
#include "speech-service/whisper_service.h"

namespace tavrin::speech {

// `client` does the transfers; the paths and the switch come from the
// process environment.
std::unique_ptr<WhisperDownload> makeCatalogueWhisperDownload(std::unique_ptr<models::HttpsClient> client);

}  // namespace tavrin::speech
