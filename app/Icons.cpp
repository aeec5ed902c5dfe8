#include "app/Icons.h"

#include <fx.h>

namespace {

const unsigned char* const kIconData[AppIcons::Count] = {
    icons::k_exit_gif,   icons::k_configure_gif, icons::k_channels_gif, icons::k_state1_gif,
    icons::k_state2_gif, icons::k_state3_gif,    icons::k_state4_gif,   icons::k_state5_gif,
    icons::k_state6_gif, icons::k_other_gif,
};

}  // namespace

AppIcons::AppIcons(FX::FXApp* app) {
  for (int i = 0; i < Count; ++i) m_icons[i] = new FX::FXGIFIcon(app, kIconData[i]);
  m_app = new FX::FXGIFIcon(app, icons::k_app_gif);
}

AppIcons::~AppIcons() {
  for (FX::FXIcon* ic : m_icons) delete ic;
  delete m_app;
}

void AppIcons::create() {
  for (FX::FXIcon* ic : m_icons) ic->create();
  m_app->create();
}

AppIcons::Id AppIcons::stateIconId(int state) {
  switch (state) {
    case 1: return State1;
    case 2: return State2;
    case 3: return State3;
    case 4: return State4;
    case 5: return State5;
    case 6: return State6;
    case 7: return Configure;
    default: return Other;
  }
}

FX::FXIcon* AppIcons::stateIcon(int state) const { return m_icons[stateIconId(state)]; }
