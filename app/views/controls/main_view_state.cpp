#include "app/views/controls/main_view_state.h"

#include "app/settings/settings_keys.h"

namespace pavonix {

MainViewState::MainViewState(ControlsModel& model, SettingsStore& store) : model_(model) {
    subscription_ = store.observe<PresentationProvider>(
        settings::presentationProvider, [this](const PresentationProvider& provider) { providerChanged(provider); });
}

void MainViewState::providerChanged(PresentationProvider provider) {
    if (provider == PresentationProvider::googleSlides) model_.relistWindows();
    model_.refreshStatus();
}

}  // namespace pavonix
