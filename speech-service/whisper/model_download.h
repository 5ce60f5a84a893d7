// Catalogue Whisper models as downloads on demand (the WhisperDownload of
// whisper_service.h): fetched by ModelInstaller into the user's Whisper
// folder the first time a locale needs one, unless model downloads are
// turned off.
#pragma once

#include <memory>

#include "models/catalogue.h"
#include "models/http.h"
#include "speech-service/whisper/whisper_service.h"

namespace tavrin::speech {

// `client` does the transfers; the paths and the switch come from the
// process environment. A download that failed is not tried again by the
// same object: later install() calls throw the same line (one run never
// fetches a model twice, whichever of its channels asks).
std::unique_ptr<WhisperDownload> makeCatalogueWhisperDownload(std::unique_ptr<models::HttpsClient> client,
                                                              models::CatalogueModel model);

// The English model this machine gets (models/machine.h).
models::CatalogueModel englishCatalogueModel();

}  // namespace tavrin::speech
