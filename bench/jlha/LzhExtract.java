// Extracts every member of an LZH archive through the public API of the jLHA
// library, as a peer in the extraction benchmark for methods that only jLHA
// decodes. Exits 1 when a member's CRC-16 does not match its header.
//   java -cp /usr/share/java/jlha.jar:DIR LzhExtract ARCHIVE DEST
import java.io.BufferedInputStream;
import java.io.BufferedOutputStream;
import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.OutputStream;
import jp.gr.java_conf.dangan.util.lha.CRC16;
import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaInputStream;

public class LzhExtract {
  public static void main(String[] args) throws Exception {
    LhaInputStream in = new LhaInputStream(new BufferedInputStream(new FileInputStream(args[0])));
    byte[] buffer = new byte[65536];
    int bad = 0;
    for (LhaHeader h; (h = in.getNextEntry()) != null;) {
      File out = new File(args[1], new File(h.getPath()).getName());
      CRC16 crc = new CRC16();
      try (OutputStream o = new BufferedOutputStream(new FileOutputStream(out))) {
        for (int n; (n = in.read(buffer)) > 0;) {
          crc.update(buffer, 0, n);
          o.write(buffer, 0, n);
        }
      }
      if ((int) crc.getValue() != h.getCRC()) ++bad;
      in.closeEntry();
    }
    in.close();
    System.exit(bad == 0 ? 0 : 1);
  }
}
