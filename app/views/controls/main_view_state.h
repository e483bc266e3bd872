// The main view's own reaction to a change of the presentation provider: a switch to Google
// Slides lists the open windows first; every switch refreshes the model's status. (The controls
// view has handlers of its own on the same setting; both run.)
#pragma once

#include "app/views/controls/controls_model.h"
#include "settings_store/settings_store.h"

namespace pavonix {

class MainViewState {
public:
    // The model and the store must outlive this object.
    MainViewState(ControlsModel& model, SettingsStore& store);

    void providerChanged(PresentationProvider provider);

private:
    ControlsModel& model_;
    SettingsStore::Subscription subscription_;
};

}  // namespace pavonix
