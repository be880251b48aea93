#include "station/media/DecodeWorkerMain.h"

#include "station/catalogue/ContentPrint.h"
#include "station/catalogue/DecodeWorker.h"
#include "station/media/ArtScaler.h"
#include "station/media/LoudnessMeter.h"

namespace vorn::station {

int RunDecodeWorker() {
    return DecodeWorker::Serve([](char kind, const std::string& request) -> std::string {
        switch (kind) {
            case kPrintRequest: return ContentPrintAnswer(request);
            case LoudnessMeter::kRequest: return LoudnessMeter::Answer(request);
            case ArtScaler::kRequest: return ArtScaler::Answer(request);
            default: return {};  // the station's side takes an empty answer as damaged
        }
    });
}

}  // namespace vorn::station
