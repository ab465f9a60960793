#include "player/SDLWindowDisplay.h"

#include "binding/FFmpegLoader.h"

namespace kelvane {

std::unique_ptr<TSDLWindowDisplay> TSDLWindowDisplay::Create(int32_t width, int32_t height) {
  std::unique_ptr<TSDLWindowDisplay> display(new TSDLWindowDisplay);
  display->window_ = sdl.SDL_CreateWindow("Kelvane", SDL_WINDOWPOS_UNDEFINED,
                                          SDL_WINDOWPOS_UNDEFINED, width, height,
                                          SDL_WINDOW_RESIZABLE);
  if (display->window_ == nullptr) return nullptr;
  display->renderer_ = sdl.SDL_CreateRenderer(display->window_, -1, 0);
  if (display->renderer_ == nullptr) return nullptr;
  return display;
}

TSDLWindowDisplay::~TSDLWindowDisplay() {
  if (texture_ != nullptr) sdl.SDL_DestroyTexture(texture_);
  if (renderer_ != nullptr) sdl.SDL_DestroyRenderer(renderer_);
  if (window_ != nullptr) sdl.SDL_DestroyWindow(window_);
}

void TSDLWindowDisplay::ClientSize(int32_t& width, int32_t& height) {
  sdl.SDL_GetWindowSize(window_, &width, &height);
}

void TSDLWindowDisplay::SetDisplayArea(int32_t width, int32_t height) {
  int32_t current_width;
  int32_t current_height;
  ClientSize(current_width, current_height);
  if (current_width != width || current_height != height) {
    sdl.SDL_SetWindowSize(window_, width, height);
  }
}

void TSDLWindowDisplay::ShowPicture(const TDisplayFrame& frame) {
  last_ = frame;
  const TBitmap& image = *frame.Image;
  if (texture_ == nullptr || texture_width_ != image.Width || texture_height_ != image.Height) {
    if (texture_ != nullptr) sdl.SDL_DestroyTexture(texture_);
    texture_ = sdl.SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_BGR24,
                                     SDL_TEXTUREACCESS_STREAMING, image.Width, image.Height);
    texture_width_ = image.Width;
    texture_height_ = image.Height;
  }
  if (texture_ != nullptr && image.Width > 0 && image.Height > 0) {
    sdl.SDL_UpdateTexture(texture_, nullptr, image.Pixels.data(), image.Stride);
  }
  Paint();
}

void TSDLWindowDisplay::Redraw() { Paint(); }

void TSDLWindowDisplay::Paint() {
  sdl.SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
  sdl.SDL_RenderClear(renderer_);
  if (texture_ != nullptr && last_.Image) {
    const SDL_Rect rect{last_.Rect.Left, last_.Rect.Top, last_.Rect.Width, last_.Rect.Height};
    sdl.SDL_RenderCopy(renderer_, texture_, nullptr, &rect);
  }
  sdl.SDL_RenderPresent(renderer_);
}

bool TSDLWindowDisplay::PollEvent(TPlayerEvent& event) {
  SDL_Event sdl_event;
  while (sdl.SDL_PollEvent(&sdl_event) != 0) {
    if (sdl_event.type == SDL_QUIT) {
      event = {evQuit};
      return true;
    }
    if (sdl_event.type != SDL_WINDOWEVENT) continue;
    if (sdl_event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
      event = {evVideoResize, sdl_event.window.data1, sdl_event.window.data2};
      return true;
    }
    if (sdl_event.window.event == SDL_WINDOWEVENT_EXPOSED) {
      event = {evVideoExpose};
      return true;
    }
  }
  return false;
}

}  // namespace kelvane
