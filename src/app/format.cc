#include "app/format.h"

#include "core/output.h"
#include "json/exporter.h"
#include "proto/exporter.h"

namespace morvex::app {

core::Checked<Format> Format::parse(std::string_view text) {
  if (text == kNames[Json]) return Format(Json);
  if (text == kNames[Protobuf] || text == "proto" || text == "pb") return Format(Protobuf);
  return core::Wrong{"unknown format: " + std::string(text)};
}

core::Result<std::unique_ptr<core::Exporter>> Format::open(
    const std::string& path, uint32_t pid, bool append, bool compress,
    const std::optional<format::WallAnchor>& anchor) const {
  if (v_ == Protobuf) {
    std::unique_ptr<proto::ProtoExporter> e;
    if (append) {
      core::Result<proto::ProtoExporter> r = proto::ProtoExporter::append(path);
      if (!r.ok()) return r.error();
      e = std::make_unique<proto::ProtoExporter>(std::move(r.value()));
    } else {
      core::Result<core::SharedFile> f = core::SharedFile::open(path, true);
      if (!f.ok()) return f.error();
      e = std::make_unique<proto::ProtoExporter>(
          proto::ProtoExporter::create(std::move(f.value())));
    }
    e->set_sequence_base(pid);
    if (anchor) e->set_anchor(*anchor);
    if (compress) {
      core::Status st = e->set_compress();
      if (!st.ok()) return st.error();
    }
    return std::unique_ptr<core::Exporter>(std::move(e));
  }
  core::Result<core::SharedFile> f = core::SharedFile::open(path, !append);
  if (!f.ok()) return f.error();
  if (!append) {
    // The document's only bracket; runs that join the file add records only.
    f.value().write_all("[");
    core::Status st = f.value().flush();
    if (!st.ok()) return st.error();
  }
  auto e = std::make_unique<json::JsonExporter>(json::JsonExporter::create(std::move(f.value())));
  if (anchor) e->set_anchor(*anchor);
  return std::unique_ptr<core::Exporter>(std::move(e));
}

}  // namespace morvex::app
