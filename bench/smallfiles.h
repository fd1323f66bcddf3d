// SPDX-License-Identifier: MIT
#ifndef SMALLFILES_H
#define SMALLFILES_H

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cmath>

// A folder of small documents of the shapes people keep many of, each kind in its own
// subfolder with its usual numeric attribute: GPS tracks (gpx, lat), map placemarks
// (kml, x of the icon's hot spot), map extracts (osm, lat), drawings (svg, x), Android
// layouts (layout, android:layout_weight) and configuration files (config, weight).
// Sizes are spread over each kind's usual range, a few hundred bytes to some 40 KB;
// every file is the same on every run.
namespace smallfiles {

struct Kind
{
    const char *folder;
    const char *suffix;
    int smallest, largest; // bytes
};
const Kind kinds[] = {{"gpx", "gpx", 800, 40000},   {"kml", "kml", 500, 12000},
                      {"osm", "osm", 1500, 30000},  {"svg", "svg", 600, 25000},
                      {"layout", "xml", 400, 6000}, {"config", "xml", 300, 5000}};

inline QByteArray num(QRandomGenerator &random, double low, double high, int decimals)
{
    return QByteArray::number(low + random.bounded(high - low), 'f', decimals);
}

inline QByteArray document(int kind, QRandomGenerator &random, int size)
{
    QByteArray text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const double lat = random.bounded(140.0) - 70, lon = random.bounded(360.0) - 180;
    switch (kind) {
    case 0:
        text += "<gpx version=\"1.1\" creator=\"tracker\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n"
                " <metadata><name>ride</name><time>2026-05-01T08:00:00Z</time></metadata>\n"
                " <trk><name>ride</name><trkseg>\n";
        for (int i = 0; text.size() < size; ++i)
            text += "  <trkpt lat=\"" + num(random, lat, lat + 0.05, 7) + "\" lon=\"" +
                    num(random, lon, lon + 0.05, 7) + "\"><ele>" + num(random, 100, 900, 1) +
                    "</ele><time>2026-05-01T08:" + QByteArray::number(10 + i % 50) +
                    ":00Z</time></trkpt>\n";
        return text + " </trkseg></trk>\n</gpx>\n";
    case 1:
        text += "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n<Document><name>places</name>\n";
        for (int i = 0; text.size() < size; ++i)
            text += " <Style id=\"s" + QByteArray::number(i) +
                    "\"><IconStyle><scale>1.1</scale><Icon><href>pin.png</href></Icon>"
                    "<hotSpot x=\"" + num(random, 0, 1, 2) + "\" y=\"" + num(random, 0, 1, 2) +
                    "\" xunits=\"fraction\" yunits=\"fraction\"/></IconStyle></Style>\n"
                    " <Placemark><name>place " + QByteArray::number(i) +
                    "</name><styleUrl>#s" + QByteArray::number(i) +
                    "</styleUrl><Point><coordinates>" + num(random, lon, lon + 1, 6) + ',' +
                    num(random, lat, lat + 1, 6) + ",0</coordinates></Point></Placemark>\n";
        return text + "</Document>\n</kml>\n";
    case 2:
        text += "<osm version=\"0.6\" generator=\"editor\">\n <bounds minlat=\"" +
                QByteArray::number(lat, 'f', 7) + "\" minlon=\"" + QByteArray::number(lon, 'f', 7) +
                "\" maxlat=\"" + QByteArray::number(lat + 0.01, 'f', 7) + "\" maxlon=\"" +
                QByteArray::number(lon + 0.01, 'f', 7) + "\"/>\n";
        for (int id = 1; text.size() < size; ++id)
            text += " <node id=\"" + QByteArray::number(id) + "\" visible=\"true\" version=\"2\" lat=\"" +
                    num(random, lat, lat + 0.01, 7) + "\" lon=\"" + num(random, lon, lon + 0.01, 7) +
                    (id % 3 ? QByteArray("\"/>\n")
                            : "\">\n  <tag k=\"amenity\" v=\"bench\"/>\n </node>\n");
        return text + "</osm>\n";
    case 3:
        text += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" viewBox=\"0 0 256 256\">\n";
        for (int i = 0; text.size() < size; ++i)
            text += i % 2 ? " <rect x=\"" + num(random, 0, 256, 2) + "\" y=\"" + num(random, 0, 256, 2) +
                                "\" width=\"" + num(random, 1, 64, 1) + "\" height=\"" +
                                num(random, 1, 64, 1) + "\" fill=\"#3366cc\"/>\n"
                          : " <text x=\"" + num(random, 0, 256, 1) + "\" y=\"" + num(random, 0, 256, 1) +
                                "\" font-size=\"12\">label</text>\n <path d=\"M " +
                                num(random, 0, 256, 2) + ' ' + num(random, 0, 256, 2) + " L " +
                                num(random, 0, 256, 2) + ' ' + num(random, 0, 256, 2) +
                                " Z\" stroke=\"#000\"/>\n";
        return text + "</svg>\n";
    case 4:
        text += "<LinearLayout xmlns:android=\"http://schemas.android.com/apk/res/android\"\n"
                "    android:layout_width=\"match_parent\" android:layout_height=\"match_parent\"\n"
                "    android:orientation=\"vertical\">\n";
        for (int i = 0; text.size() < size; ++i)
            text += "    <TextView android:id=\"@+id/label" + QByteArray::number(i) +
                    "\"\n        android:layout_width=\"0dp\" android:layout_height=\"wrap_content\"\n"
                    "        android:layout_weight=\"" + num(random, 0, 3, int(random.bounded(2))) +
                    "\" android:text=\"@string/label" + QByteArray::number(i) + "\"/>\n";
        return text + "</LinearLayout>\n";
    default:
        text += "<configuration version=\"2\">\n";
        for (int i = 0; text.size() < size; ++i)
            text += "  <!-- group " + QByteArray::number(i) + " -->\n  <setting key=\"k" +
                    QByteArray::number(i) + "\" value=\"auto\" weight=\"" + num(random, -5, 100, 2) +
                    "\"/>\n  <setting key=\"path" + QByteArray::number(i) +
                    "\" value=\"/var/lib/service\"/>\n";
        return text + "</configuration>\n";
    }
}

// `count` files in all, an equal share of each kind. False when a file cannot be written.
inline bool writeSmallFiles(const QString &folder, int count)
{
    const int kindCount = int(sizeof kinds / sizeof kinds[0]);
    for (int kind = 0; kind < kindCount; ++kind) {
        const Kind &k = kinds[kind];
        if (!QDir().mkpath(folder + '/' + k.folder))
            return false;
        for (int i = 0; i < (count + kindCount - 1) / kindCount; ++i) {
            QRandomGenerator random(quint32(20261210 + kind * 100000 + i));
            // Sizes spread evenly in logarithm between the kind's smallest and largest.
            const int size = int(k.smallest * std::pow(double(k.largest) / k.smallest,
                                                        random.bounded(1.0)));
            QFile file(QString("%1/%2/%3.%4").arg(folder, k.folder).arg(i, 5, 10, QChar('0')).arg(k.suffix));
            const QByteArray bytes = document(kind, random, size);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                return false;
        }
    }
    return true;
}

} // namespace smallfiles

#endif // SMALLFILES_H
