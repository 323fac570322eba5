// SPDX-License-Identifier: GPL-3.0-or-later
// The plugin's phrase off the audio thread: a phrase WAV asked for through
// the file property is read and analysed by the worker into the spare
// buffer, which run() swaps in with the response; the state saves the
// phrase as a file in the session's folder and a restore reads it back
// into the buffer that run() takes at its next start. Failures are logged
// through the host's log and leave the instance working.
#include <lv2/atom/util.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "core/Reporter.h"
#include "phrase/PhraseStore.h"
#include "plugin/PhraseFile.h"
#include "plugin/Plugin.h"

namespace sorvane {
namespace {

// The worker's messages: a load request (the path follows it, with its
// terminating zero) and its outcome.
struct LoadRequest {
  double BandPrevious;  // the live analysis's last sample, carried through the phrase
  uint32_t PathBytes;   // including the terminating zero
};
struct LoadResponse {
  bool Loaded;
  double BandPrevious;
};

// The WAV reader reports through the error box, which the plugin's own copy
// of the error hooks routes to the thread that asked: the worker keeps the
// text for its log line.
thread_local std::string* ErrorText = nullptr;

void KeepErrorText(void*, const char* caption, const char* text) {
  if (ErrorText != nullptr) {
    *ErrorText = text;
  } else {
    std::fprintf(stderr, "%s: %s\n", caption, text);
  }
}

class ErrorCapture {
 public:
  explicit ErrorCapture(std::string& text) {
    static std::once_flag installed;
    std::call_once(installed, [] { SetErrorBoxHandler(KeepErrorText, nullptr); });
    ErrorText = &text;
  }
  ~ErrorCapture() { ErrorText = nullptr; }
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;
};

template <typename Feature>
const Feature* FeatureData(const LV2_Feature* const* features, const char* uri) {
  for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
    if (std::strcmp(features[i]->URI, uri) == 0) return static_cast<const Feature*>(features[i]->data);
  }
  return nullptr;
}

// Frees a path the host made, through its state:freePath when it gave one.
void FreePath(const LV2_State_Free_Path* freePath, char* path) {
  if (path == nullptr) return;
  if (freePath != nullptr) {
    freePath->free_path(freePath->handle, path);
  } else {
    std::free(path);
  }
}

}  // namespace

void Plugin::PhraseReplaced() {
  Vocoder.UsePhraseStore(Phrases.Live().Store);
  // A running capture ends: the new phrase is replayed.
  PhraseState& phrase = Vocoder.Engine().Phrase;
  if (phrase.PhraseMode == kPhraseCapture) {
    SwitchPhraseMode(phrase, true);
    LastPhraseMode = kPhraseReplay;
  }
}

void Plugin::TakePatch(const LV2_Atom_Object* object) {
  if (object->body.otype != Uris.PatchSet) return;
  const LV2_Atom* property = nullptr;
  const LV2_Atom* value = nullptr;
  lv2_atom_object_get(object, Uris.PatchProperty, &property, Uris.PatchValue, &value, 0);
  if (property == nullptr || property->type != Uris.AtomUrid || value == nullptr || value->type != Uris.AtomPath)
    return;
  if (reinterpret_cast<const LV2_Atom_URID*>(property)->body != Uris.PhraseFile) return;
  RequestLoad(static_cast<const char*>(LV2_ATOM_BODY_CONST(value)), value->size);
}

void Plugin::RequestLoad(const char* path, uint32_t length) {
  if (Schedule == nullptr) return;  // a host without a worker cannot load files
  // The path without its terminating zero; one too long for the message is
  // sent empty, and the worker says so.
  uint32_t bytes = static_cast<uint32_t>(strnlen(path, length));
  if (bytes >= kMaxPathBytes) bytes = 0;
  if (Loading) {
    std::memcpy(NextPath, path, bytes);
    NextPath[bytes] = '\0';
    NextPathBytes = bytes + 1;
    return;
  }
  struct {
    LoadRequest Request;
    char Path[kMaxPathBytes];
  } message;
  message.Request = {Vocoder.Engine().Analysis.BandPrevious, bytes + 1};
  std::memcpy(message.Path, path, bytes);
  message.Path[bytes] = '\0';
  const auto size = static_cast<uint32_t>(sizeof(LoadRequest) + bytes + 1);
  if (Schedule->schedule_work(Schedule->handle, size, &message) == LV2_WORKER_SUCCESS) Loading = true;
}

LV2_Worker_Status Plugin::Work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, uint32_t size,
                               const void* data) {
  if (size < sizeof(LoadRequest)) return LV2_WORKER_ERR_UNKNOWN;
  LoadRequest request;
  std::memcpy(&request, data, sizeof(request));
  const char* path = static_cast<const char*>(data) + sizeof(LoadRequest);
  LoadResponse response{false, request.BandPrevious};
  if (request.PathBytes <= 1 || size != sizeof(LoadRequest) + request.PathBytes ||
      path[request.PathBytes - 1] != '\0') {
    lv2_log_error(&Logger, "Sorvane: no phrase file loaded: its name is empty or too long\n");
  } else {
    std::string why = "the file could not be read";
    PhraseState ignored{};
    ResetPhraseState(ignored);
    ErrorCapture capture(why);
    response.Loaded = PhraseLoad(ignored, Phrases.Spare().Store, response.BandPrevious, path);
    if (!response.Loaded) {
      lv2_log_error(&Logger, "Sorvane: the phrase file %s was not loaded (%s); the phrase is unchanged\n", path,
                    why.c_str());
    }
  }
  return respond(handle, sizeof(response), &response);
}

LV2_Worker_Status Plugin::WorkResponse(uint32_t size, const void* data) {
  if (size != sizeof(LoadResponse)) return LV2_WORKER_ERR_UNKNOWN;
  LoadResponse response;
  std::memcpy(&response, data, sizeof(response));
  Loading = false;
  if (response.Loaded) {
    Phrases.SwapSpare();
    Phrases.Live().Present = true;
    PhraseReplaced();
    // As the desktop program loads, the analysis (paused while replaying)
    // goes on from the phrase's last sample.
    EngineState& engine = Vocoder.Engine();
    if (engine.Phrase.PhraseMode == kPhraseReplay) engine.Analysis.BandPrevious = response.BandPrevious;
  }
  if (NextPathBytes > 0) {
    const uint32_t bytes = NextPathBytes;
    NextPathBytes = 0;
    RequestLoad(NextPath, bytes);
  }
  // A save before the next run already finds the new phrase.
  Phrases.TryPublish();
  return LV2_WORKER_SUCCESS;
}

LV2_State_Status Plugin::Save(LV2_State_Store_Function store, LV2_State_Handle handle,
                              const LV2_Feature* const* features) {
  auto phrase = std::make_unique<PhraseBuffer>();
  Phrases.CopySnapshot(*phrase);
  if (!phrase->Present) return LV2_STATE_SUCCESS;  // nothing captured or loaded yet
  const auto* makePath = FeatureData<LV2_State_Make_Path>(features, LV2_STATE__makePath);
  const auto* mapPath = FeatureData<LV2_State_Map_Path>(features, LV2_STATE__mapPath);
  const auto* freePath = FeatureData<LV2_State_Free_Path>(features, LV2_STATE__freePath);
  if (makePath == nullptr || mapPath == nullptr) {
    lv2_log_error(&Logger, "Sorvane: the host gave no folder for the phrase; it is not saved\n");
    return LV2_STATE_ERR_NO_FEATURE;
  }
  char* path = makePath->path(makePath->handle, kPhraseFileName);
  std::string why;
  if (path == nullptr || !WritePhraseFile(path, phrase->Store, why)) {
    lv2_log_error(&Logger, "Sorvane: the phrase could not be saved to %s (%s)\n", path != nullptr ? path : "?",
                  why.c_str());
    FreePath(freePath, path);
    return LV2_STATE_ERR_UNKNOWN;
  }
  char* abstract = mapPath->abstract_path(mapPath->handle, path);
  const LV2_State_Status status = abstract == nullptr
                                      ? LV2_STATE_ERR_UNKNOWN
                                      : store(handle, Uris.SessionPhrase, abstract, std::strlen(abstract) + 1,
                                              Uris.AtomPath, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
  FreePath(freePath, abstract);
  FreePath(freePath, path);
  return status;
}

LV2_State_Status Plugin::Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                                 const LV2_Feature* const* features) {
  size_t size = 0;
  uint32_t type = 0;
  uint32_t flags = 0;
  const void* value = retrieve(handle, Uris.SessionPhrase, &size, &type, &flags);
  if (value == nullptr) return LV2_STATE_SUCCESS;  // a state without a phrase (a preset) keeps the one there is
  const auto* mapPath = FeatureData<LV2_State_Map_Path>(features, LV2_STATE__mapPath);
  const auto* freePath = FeatureData<LV2_State_Free_Path>(features, LV2_STATE__freePath);
  PhraseBuffer& incoming = Phrases.BeginIncoming();
  std::string why;
  char* path = nullptr;
  if (type != Uris.AtomPath || size == 0 || static_cast<const char*>(value)[size - 1] != '\0') {
    why = "the saved state names no file";
  } else if (mapPath == nullptr) {
    why = "the host gave no way to find the session's files";
  } else {
    path = mapPath->absolute_path(mapPath->handle, static_cast<const char*>(value));
    if (path == nullptr) why = "the saved name could not be found";
  }
  incoming.Present = path != nullptr && ReadPhraseFile(path, incoming.Store, why);
  if (!incoming.Present) {
    lv2_log_error(&Logger,
                  "Sorvane: the session's phrase %s could not be read (%s); the instance goes on without a phrase\n",
                  path != nullptr ? path : static_cast<const char*>(value), why.c_str());
    std::memset(static_cast<void*>(&incoming.Store), 0, sizeof(incoming.Store));
  }
  FreePath(freePath, path);
  Phrases.OfferIncoming();
  return LV2_STATE_SUCCESS;
}

}  // namespace sorvane
