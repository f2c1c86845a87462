#include "component/cert_store_records.h"

namespace velmora::component {

void CertStoreHandle::Reset() {
  store_kind = 0;
  selected_index = -1;
  detected_kind = 0;
  subject.Clear();
  store_data.Clear();
  file_name.Clear();
  password.Clear();
}

int CertStoreHandle::CopyFrom(const CertStoreHandle& other) {
  store_kind = other.store_kind;
  selected_index = other.selected_index;
  detected_kind = other.detected_kind;
  int rc = subject.Assign(other.subject);
  if (rc == core::kOk) rc = store_data.Assign(other.store_data);
  if (rc == core::kOk) rc = file_name.Assign(other.file_name);
  if (rc == core::kOk) rc = password.Assign(other.password);
  return rc;
}

void CryptoApiKeyContext::Reset() {
  // NOTE: the handles are released by the platform key provider that acquired them; none is acquired
  // through this record yet.
  provider_handle = 0;
  key_handle = 0;
  provider_type = 1;
  provider_name.Clear();
}

}  // namespace velmora::component
