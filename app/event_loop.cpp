#include "app/event_loop.h"

#include <deque>

#include "engine/playback_engine.h"
#include "platform/events.h"
#include "platform/window.h"
#include "skin/skin_window.h"

namespace vidora {

namespace {

constexpr uint64_t kTimerPeriodMs = 80;
// How often a drag samples the pointer: often enough that the window follows without lag.
constexpr int32_t kDragStepMs = 10;

class EventLoop {
  public:
    EventLoop(PlaybackEngine& engine, SkinWindow& skin, Window& window)
        : engine_(engine), skin_(skin), window_(window) {}

    int run(const std::string& startFile) {
        skin_.setDialogPump([this] { pumpWhileModal(); });
        skin_.attach(&window_);
        skin_.paint();
        nextTick_ = monotonicMilliseconds() + kTimerPeriodMs;
        if (!startFile.empty()) {
            skin_.openRecording(startFile);
        }
        while (!closed_) {
            InputEvent event;
            if (!deferred_.empty()) {
                event = deferred_.front();
                deferred_.pop_front();
                dispatch(event);
            } else if (waitEvent(event, millisecondsToTick())) {
                dispatch(event);
            }
            tickIfDue();
            paintIfNeeded();
            if (skin_.dragRequested) {
                drag();
            }
        }
        // The timer stops first, then the skin stops the engine and frees its surfaces.
        skin_.shutdown();
        return 0;
    }

  private:
    void dispatch(const InputEvent& event) {
        switch (event.kind) {
            case InputEvent::Kind::Expose:
                exposed_ = true;
                break;
            case InputEvent::Kind::PictureReady:
                showPicture();
                break;
            case InputEvent::Kind::Key:
                skin_.onKey(event.key, event.ctrl);
                break;
            case InputEvent::Kind::Wheel:
                skin_.onWheel(event.wheel);
                break;
            case InputEvent::Kind::LeftPress:
                // The second press of a double-click arrives with an even count.
                if (event.clicks % 2 == 0) {
                    skin_.onDoubleClick(event.x, event.y);
                } else {
                    skin_.onClick(event.x, event.y);
                }
                break;
            case InputEvent::Kind::CloseRequest:
                // Alt+F4 and the window manager's close act exactly like Esc: in fullscreen
                // they leave fullscreen instead of closing.
                skin_.dismiss();
                break;
            case InputEvent::Kind::FileDropped:
                skin_.openRecording(event.path);
                break;
            case InputEvent::Kind::Close:
            case InputEvent::Kind::Quit:
                closed_ = true;
                break;
            case InputEvent::Kind::WindowGone:
                window_.forgetDestroyed();
                closed_ = true;
                break;
            case InputEvent::Kind::LeftRelease:
                break;
        }
    }

    // The picture goes to the screen now; a whole paint due anyway shows it as well.
    void showPicture() {
        const uint32_t drawn = engine_.picturesDrawn();
        if (skin_.needsPaint || exposed_) {
            paintIfNeeded();
        } else {
            skin_.showPicture();
        }
        engine_.pictureShown(drawn);
    }

    int32_t millisecondsToTick() const {
        uint64_t now = monotonicMilliseconds();
        return now >= nextTick_ ? 0 : static_cast<int32_t>(nextTick_ - now);
    }

    void tickIfDue() {
        uint64_t now = monotonicMilliseconds();
        if (now < nextTick_) {
            return;
        }
        // A late tick is not made up for: the timer only asks for the next repaint.
        nextTick_ = now + kTimerPeriodMs;
        skin_.onTimer();
    }

    void paintIfNeeded() {
        if (skin_.needsPaint || exposed_) {
            skin_.needsPaint = false;
            exposed_ = false;
            skin_.paint();
        }
    }

    // While a file dialog runs the window keeps painting and ticking; the skin's input waits
    // (presses and keys meant for the window are dropped, as a modal dialog's owner ignores
    // them; closing and dropped files are kept for afterwards).
    void pumpWhileModal() {
        InputEvent event;
        while (waitEvent(event, 0)) {
            switch (event.kind) {
                case InputEvent::Kind::Expose:
                    exposed_ = true;
                    break;
                case InputEvent::Kind::PictureReady:
                    showPicture();
                    break;
                case InputEvent::Kind::Close:
                case InputEvent::Kind::Quit:
                case InputEvent::Kind::WindowGone:
                case InputEvent::Kind::CloseRequest:
                case InputEvent::Kind::FileDropped:
                    deferred_.push_back(event);
                    break;
                default:
                    break;
            }
        }
        tickIfDue();
        paintIfNeeded();
    }

    // Moves the window with the pointer until the left button is released, without a window
    // manager's help. The position is read before the button: a position read after the
    // release is never applied.
    void drag() {
        skin_.dragRequested = false;
        const Point start = window_.globalPointer();
        const Point origin = window_.position();
        for (;;) {
            const Point now = window_.globalPointer();
            if (!window_.leftButtonDown()) {
                break;
            }
            Point target{origin.x + now.x - start.x, origin.y + now.y - start.y};
            if (target != window_.position()) {
                window_.moveTo(target.x, target.y);
            }
            InputEvent event;
            if (waitEvent(event, kDragStepMs)) {
                if (event.kind == InputEvent::Kind::Expose) {
                    exposed_ = true;
                } else if (event.kind == InputEvent::Kind::PictureReady) {
                    showPicture();
                } else if (event.kind == InputEvent::Kind::Close ||
                           event.kind == InputEvent::Kind::Quit ||
                           event.kind == InputEvent::Kind::WindowGone ||
                           event.kind == InputEvent::Kind::CloseRequest) {
                    deferred_.push_back(event);
                }
            }
            tickIfDue();
            paintIfNeeded();
        }
    }

    PlaybackEngine& engine_;
    SkinWindow& skin_;
    Window& window_;
    uint64_t nextTick_ = 0;
    bool exposed_ = false;
    bool closed_ = false;
    std::deque<InputEvent> deferred_;
};

}  // namespace

int runProgram(PlaybackEngine& engine, SkinWindow& skin, const std::string& startFile) {
    if (!initEvents()) {
        return kNoDisplay;
    }
    std::unique_ptr<Window> window = Window::create("Vidora");
    if (!window) {
        return -1;
    }
    // Set while no engine thread runs: the video thread reads it without a lock.
    engine.setPictureReady([] { postPictureReady(); });
    EventLoop loop(engine, skin, *window);
    int result = loop.run(startFile);
    skin.window = nullptr;
    engine.setPictureReady(nullptr);
    return result;
}

}  // namespace vidora
