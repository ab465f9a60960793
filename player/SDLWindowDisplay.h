// The player's own window, for a program that hands Open no display target:
// an SDL window with a renderer that paints the player's BGR24 pictures.
//
// Never used inside the Qt program (an SDL window there breaks Qt's painting
// and Wayland); the window hands the player a target of its own instead.
//
// Threads: the player's event-loop thread only (made, used and destroyed there,
// or by the context's end while the loop waits on it).
#pragma once

#include <memory>

#include "player/DisplayTarget.h"
#include "player/PlayerEventQueue.h"

struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;

namespace kelvane {

class TSDLWindowDisplay : public TDisplayTarget {
 public:
  // A resizable window of the given size; null (SDL's error left for the
  // caller) when SDL cannot make one.
  static std::unique_ptr<TSDLWindowDisplay> Create(int32_t width, int32_t height);
  ~TSDLWindowDisplay() override;

  void ClientSize(int32_t& width, int32_t& height) override;
  void SetDisplayArea(int32_t width, int32_t height) override;
  void ShowPicture(const TDisplayFrame& frame) override;
  void ShowWaveform(const TDisplayFrame& frame) override { ShowPicture(frame); }
  void Redraw() override;

  // The next of SDL's window events as a player event (closing the window
  // quits, resizing resizes, exposing redraws); false when none is waiting.
  bool PollEvent(TPlayerEvent& event);

 private:
  TSDLWindowDisplay() = default;
  void Paint();

  SDL_Window* window_ = nullptr;
  SDL_Renderer* renderer_ = nullptr;
  SDL_Texture* texture_ = nullptr;
  int32_t texture_width_ = 0;
  int32_t texture_height_ = 0;
  TDisplayFrame last_;
};

}  // namespace kelvane
