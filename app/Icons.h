#pragma once
// The window icons (16 x 16 GIF pictures) and the application icon (32 x 32 GIF), drawn for
// TelvGate by app/make_icons.sh and compiled in as byte arrays (app/IconData.cpp).
//
// AppIcons turns them into toolkit icons. GUI thread only; create() needs an open display, so
// a headless run never realises them.
#include <cstddef>

namespace FX {
class FXApp;
class FXIcon;
}  // namespace FX

namespace icons {
extern const unsigned char k_exit_gif[];
extern const unsigned int k_exit_gif_len;
extern const unsigned char k_configure_gif[];
extern const unsigned int k_configure_gif_len;
extern const unsigned char k_channels_gif[];
extern const unsigned int k_channels_gif_len;
extern const unsigned char k_state1_gif[];
extern const unsigned int k_state1_gif_len;
extern const unsigned char k_state2_gif[];
extern const unsigned int k_state2_gif_len;
extern const unsigned char k_state3_gif[];
extern const unsigned int k_state3_gif_len;
extern const unsigned char k_state4_gif[];
extern const unsigned int k_state4_gif_len;
extern const unsigned char k_state5_gif[];
extern const unsigned int k_state5_gif_len;
extern const unsigned char k_state6_gif[];
extern const unsigned int k_state6_gif_len;
extern const unsigned char k_other_gif[];
extern const unsigned int k_other_gif_len;
extern const unsigned char k_app_gif[];
extern const unsigned int k_app_gif_len;
}  // namespace icons

// Owns the ten window icons and the application icon.
class AppIcons {
 public:
  enum Id { Exit, Configure, Channels, State1, State2, State3, State4, State5, State6, Other, Count };

  explicit AppIcons(FX::FXApp* app);
  ~AppIcons();
  AppIcons(const AppIcons&) = delete;
  AppIcons& operator=(const AppIcons&) = delete;

  // Realises every icon on the display (start-up, after the display was opened).
  void create();

  FX::FXIcon* icon(Id id) const { return m_icons[id]; }
  FX::FXIcon* appIcon() const { return m_app; }
  // The icon of a channel entry's state number: 1..6 their own, 7 the configure icon,
  // anything else the "other" icon.
  FX::FXIcon* stateIcon(int state) const;
  // The same choice as an Id (tests).
  static Id stateIconId(int state);

 private:
  FX::FXIcon* m_icons[Count];
  FX::FXIcon* m_app;
};
