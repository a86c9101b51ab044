#include "store/mail_store.h"

#include <utility>

namespace store {

StoreError::StoreError(std::int32_t number, QString description)
    : number_(number), description_(std::move(description)) {
  what_ = ToString().toStdString();
}

StoreError StoreError::FromStatus(const wharfline::Status& status) {
  return StoreError(status.number(), QString::fromStdString(status.message()));
}

QString StoreError::ToString() const {
  return QString::number(number_) + QLatin1Char(':') + description_;
}

}  // namespace store
