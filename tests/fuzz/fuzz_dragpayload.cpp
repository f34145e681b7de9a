// Drag-and-drop payloads another program may drop on either pane.
#include "fuzzinput.h"
#include "ui/dragformats.h"

#include <QMimeData>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const quint8 shape = control(data, size, 0);
    const QByteArray bytes = payload(data, size, 1);
    const QStringList strings = DragFormats::decodeStrings(bytes);
    // What decodes must survive another drag unchanged.
    if (DragFormats::decodeStrings(DragFormats::encodeStrings(strings)) != strings)
        abort();
    QMimeData mime;
    int bit = 1;
    for (const QString& type :
         {DragFormats::CopyType, DragFormats::IdsType, DragFormats::SizeType,
          DragFormats::LinksType, DragFormats::MoveType, DragFormats::UriListType})
        if (shape & std::exchange(bit, bit << 1))
            mime.setData(type, bytes);
    for (const QString& name : DragFormats::downloadDrop(&mime).names)
        DragFormats::isPlainFileName(name);
    DragFormats::remoteDrop(&mime, shape & 0x80);
    return 0;
}
