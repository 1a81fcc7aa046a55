#include "kelda/status_picture.h"

#include <memory>

#include "base/error.h"
#include "component/thread_block.h"
#include "status/drawing.h"
#include "status/status_image.h"

namespace kelda {

static_assert(StatusPicture::kScreenDpi == status::kScreenDpi &&
              StatusPicture::kMinDpi == status::kMinDpi &&
              StatusPicture::kMaxDpi == status::kMaxDpi);

struct StatusPicture::Image {
  explicit Image(double dpi) : image(ThisThread().status.Form(), dpi) {}
  status::StatusImage image;
};

StatusPicture::StatusPicture(double dpi) : image_(std::make_shared<const Image>(dpi)) {}

StatusPicture::~StatusPicture() = default;

int StatusPicture::Width() const { return image_->image.Width(); }
int StatusPicture::Height() const { return image_->image.Height(); }

uint32_t StatusPicture::PixelAt(int x, int y) const { return image_->image.PixelAt(x, y); }

std::string StatusPicture::Png() const { return image_->image.Png(); }

void StatusPicture::WritePng(const std::string& path) const { image_->image.WritePng(path); }

}  // namespace kelda
