// Writes an LZH archive with a chosen method and header level through the
// public API of the jLHA library, for methods its command line cannot select.
//   java -cp /usr/share/java/jlha.jar:DIR LzhMake METHOD LEVEL OUT.lzh FILE...
// METHOD is the five-byte method name ("-lh4-"); each FILE is stored under the
// path given, with its modification time.
import java.io.BufferedOutputStream;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.File;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.Date;
import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaOutputStream;

public class LzhMake {
  public static void main(String[] args) throws Exception {
    if (args.length < 4) {
      System.err.println("usage: LzhMake METHOD LEVEL OUT.lzh FILE...");
      System.exit(2);
    }
    String method = args[0];
    int level = Integer.parseInt(args[1]);
    OutputStream file = new BufferedOutputStream(new FileOutputStream(args[2]));
    LhaOutputStream out = new LhaOutputStream(file);
    byte[] buffer = new byte[65536];
    for (int i = 3; i < args.length; ++i) {
      File input = new File(args[i]);
      LhaHeader header = new LhaHeader(args[i], new Date(input.lastModified()));
      header.setCompressMethod(method);
      header.setHeaderLevel(level);
      header.setOriginalSize(input.length());
      out.putNextEntry(header);
      try (InputStream in = new FileInputStream(input)) {
        for (int n; (n = in.read(buffer)) > 0;) out.write(buffer, 0, n);
      }
      out.closeEntry();
    }
    out.close();
  }
}
