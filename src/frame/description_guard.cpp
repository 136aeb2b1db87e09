#include "frame/description_guard.h"

#include "frame/library.h"
#include "telemetry/description_file.h"

namespace zs::frame {

void ensureDescriptionLoaded() {
    LibraryState& state = lib();
    if (state.descriptionLoaded) return;
    telemetry::loadTelemetryDescription(state.description, telemetry::kLoadLanguage);
    state.descriptionLoaded = 1; // whatever the load returned: it is not retried
}

} // namespace zs::frame
