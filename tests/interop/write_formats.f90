! Writes the data file of one case as the program that makes the format does
! (FDS's slice and boundary files, PLOT3D's grid and solution files, WPS's
! intermediate files), and expected.txt: for each variable the conversion
! gives, a line "name type d1 d2 ..." (type: what the file holds, or cell),
! then each value in column-major order: numbers and logicals as their bits
! in hexadecimal, chars as their codes. A cell's line is followed by each
! cell's, as the variable "name{k}".
program write_formats
  use expected_values
  implicit none
  type box
    double precision, allocatable :: v(:, :, :, :)
  end type box
  character(len=32) :: which

  call get_command_argument(1, which)
  open (11, file='expected.txt', status='replace')
  select case (trim(which))
  case ('fds-slice')
    call fds_slice(.false.)
  case ('fds-slice-cut')
    call fds_slice(.true.)
  case ('fds-boundary')  ! FDS 6 and later, patches of three shapes
    call fds_boundary(reshape([2, 2, 1, 3, 0, 3, -1, 4, &
                               1, 5, 2, 2, 1, 2, 2, 7, &
                               0, 1, 1, 3, 4, 4, 3, 7], [8, 3]), .true.)
  case ('fds-boundary-alike')  ! before FDS 6: no mesh; one shape, two places
    call fds_boundary(reshape([0, 0, 1, 3, 1, 2, 1, 2, &
                               5, 5, 2, 4, 0, 1, -1, 3], [8, 2]), .false.)
  case ('plot3d-grid-r4', 'plot3d-grid-r4-iblank', 'plot3d-grid-r8', &
        'plot3d-grid-r8-iblank')  ! the last block flat: k of one plane
    call plot3d(reshape([3, 2, 2, 2, 4, 3, 4, 3, 1], [3, 3]), .true.)
  case ('plot3d-grid-alike-r8', 'plot3d-q-alike-r8')
    call plot3d(reshape([3, 2, 2, 3, 2, 2], [3, 2]), .true.)
  case ('plot3d-grid-single-iblank', 'plot3d-q-single-r4', &
        'plot3d-q-single-r8')
    call plot3d(reshape([4, 3, 2], [3, 1]), .false.)
  case ('plot3d-q-r4')
    call plot3d(reshape([2, 3, 2, 3, 1, 2], [3, 2]), .true.)
  case ('wps-latlon')
    call wps(.false.)
  case ('wps-lambert')
    call wps(.true.)
  case default
    error stop 'unknown case'
  end select
  close (10)
  close (11)

contains

  ! FDS slice file, a box of the mesh: per step the time and the values.
  ! Cut: the run stopped in the last step's values record.
  subroutine fds_slice(cut)
    logical, intent(in) :: cut
    integer, parameter :: i1 = 3, i2 = 6, j1 = 0, j2 = 2, k1 = 1, k2 = 2, &
                          steps = 4
    real :: qq(i1:i2, j1:j2, k1:k2, steps), stime(steps)
    integer :: i, j, k, n, kept

    qq = reshape([(value(i), i = 1, size(qq))], shape(qq))
    stime = [(value(100 + n) + 10 * n, n = 1, steps)]
    open (10, file='data.sf', form='unformatted', status='replace')
    call labels('TEMPERATURE', 'temp', 'C')
    write (10) i1, i2, j1, j2, k1, k2
    kept = steps
    if (cut) kept = steps - 1
    do n = 1, steps
      write (10) stime(n)
      if (n <= kept) write (10) (((qq(i, j, k, n), i = i1, i2), j = j1, j2), &
                                 k = k1, k2)
    end do
    if (cut) then  ! the record's leading marker and half of its values
      close (10)
      open (10, file='data.sf', access='stream', form='unformatted', &
            status='old', position='append')
      write (10) 4 * size(qq(:, :, :, steps)), qq(:, :, k1, steps)
    end if
    call put_labels('TEMPERATURE', 'temp', 'C')
    call put_int('i1', [1], [i1])
    call put_int('i2', [1], [i2])
    call put_int('j1', [1], [j1])
    call put_int('j2', [1], [j2])
    call put_int('k1', [1], [k1])
    call put_int('k2', [1], [k2])
    call put_real4('time', [kept, 1], stime(:kept))
    call put_real4('q', shape(qq(:, :, :, :kept)), &
                   reshape(qq(:, :, :, :kept), [size(qq(:, :, :, :kept))]))
  end subroutine fds_slice

  ! FDS boundary file: patches (columns of i1, i2, j1, j2, k1, k2,
  ! orientation, obstacle), then per step the time and a record per patch.
  subroutine fds_boundary(patches, with_mesh)
    integer, intent(in) :: patches(:, :)
    logical, intent(in) :: with_mesh
    integer, parameter :: steps = 3
    type(box) :: q(size(patches, 2))
    real :: stime(steps)
    integer :: p, n, e(3), m, i, j, k

    m = 0
    do p = 1, size(q)
      e = patches(2:6:2, p) - patches(1:5:2, p) + 1
      allocate (q(p)%v(e(1), e(2), e(3), steps))
      q(p)%v = reshape([(value(m + i), i = 1, size(q(p)%v))], shape(q(p)%v))
      m = m + size(q(p)%v)
    end do
    stime = [(value(200 + n) + 5 * n, n = 1, steps)]
    open (10, file='data.bf', form='unformatted', status='replace')
    call labels('WALL TEMPERATURE', 'wtemp', 'C')
    write (10) size(q)
    do p = 1, size(q)
      if (with_mesh) then
        write (10) patches(:, p), 1
      else
        write (10) patches(:, p)
      end if
    end do
    do n = 1, steps
      write (10) stime(n)
      do p = 1, size(q)
        write (10) (((real(q(p)%v(i, j, k, n)), i = 1, size(q(p)%v, 1)), &
                     j = 1, size(q(p)%v, 2)), k = 1, size(q(p)%v, 3))
      end do
    end do
    call put_labels('WALL TEMPERATURE', 'wtemp', 'C')
    call put_int('npatch', [1], [size(q)])
    call put_int('i1', [size(q), 1], patches(1, :))
    call put_int('i2', [size(q), 1], patches(2, :))
    call put_int('j1', [size(q), 1], patches(3, :))
    call put_int('j2', [size(q), 1], patches(4, :))
    call put_int('k1', [size(q), 1], patches(5, :))
    call put_int('k2', [size(q), 1], patches(6, :))
    call put_int('orientation', [size(q), 1], patches(7, :))
    call put_int('obstacle', [size(q), 1], patches(8, :))
    if (with_mesh) call put_int('mesh', [size(q), 1], [(1, p = 1, size(q))])
    call put_real4('time', [steps, 1], stime)
    call put_blocks('q', 'real4', q, 3)
  end subroutine fds_boundary

  ! A PLOT3D grid or solution file, whole and 3-D, of the blocks given
  ! (columns of idim, jdim, kdim); the case's name tells which file,
  ! REAL*8 or REAL*4, with iblank or not.
  subroutine plot3d(blocks, multi)
    integer, intent(in) :: blocks(:, :)
    logical, intent(in) :: multi
    type(box) :: x(size(blocks, 2)), y(size(x)), z(size(x)), q(size(x)), &
                 ib(size(x))
    double precision :: fs(4, size(x))  ! fsmach, alpha, re, time
    character(len=5) :: kind
    logical :: solution, double, iblanks
    integer :: b, i, j, k, l, ni, nj, nk, m

    solution = index(which, '-q-') > 0
    double = index(which, '-r8') > 0
    iblanks = index(which, 'iblank') > 0
    kind = merge('real8', 'real4', double)
    m = 0
    do b = 1, size(x)
      ni = blocks(1, b); nj = blocks(2, b); nk = blocks(3, b)
      x(b)%v = reshape([(number(m + i), i = 1, ni * nj * nk)], [ni, nj, nk, 1])
      y(b)%v = reshape([(number(m + 300 + i), i = 1, ni * nj * nk)], &
                       [ni, nj, nk, 1])
      z(b)%v = reshape([(number(m + 600 + i), i = 1, ni * nj * nk)], &
                       [ni, nj, nk, 1])
      q(b)%v = reshape([(number(m + 900 + i), i = 1, 5 * ni * nj * nk)], &
                       [ni, nj, nk, 5])
      ib(b)%v = reshape([(modulo(i + b, 4) - 1, i = 1, ni * nj * nk)], &
                        [ni, nj, nk, 1])  ! -1, 0, 1 and 2
      fs(:, b) = [number(1000 + b), number(1010 + b), 1d6 + number(b), &
                  number(1020 + b)]
      m = m + 5 * ni * nj * nk
    end do
    open (10, file=merge('data.q  ', 'data.xyz', solution), &
          form='unformatted', status='replace')
    if (multi) write (10) size(x)
    write (10) ((blocks(l, b), l = 1, 3), b = 1, size(x))
    do b = 1, size(x)
      ni = blocks(1, b); nj = blocks(2, b); nk = blocks(3, b)
      associate (xb => x(b)%v(:, :, :, 1), yb => y(b)%v(:, :, :, 1), &
                 zb => z(b)%v(:, :, :, 1), qb => q(b)%v, &
                 ibb => int(ib(b)%v(:, :, :, 1)))
        if (solution .and. double) then
          write (10) fs(:, b)
          write (10) ((((qb(i, j, k, l), i = 1, ni), j = 1, nj), &
                       k = 1, nk), l = 1, 5)
        else if (solution) then
          write (10) real(fs(:, b))
          write (10) ((((real(qb(i, j, k, l)), i = 1, ni), j = 1, nj), &
                       k = 1, nk), l = 1, 5)
        else if (double .and. iblanks) then
          write (10) (((xb(i, j, k), i = 1, ni), j = 1, nj), k = 1, nk), &
                     (((yb(i, j, k), i = 1, ni), j = 1, nj), k = 1, nk), &
                     (((zb(i, j, k), i = 1, ni), j = 1, nj), k = 1, nk), &
                     (((ibb(i, j, k), i = 1, ni), j = 1, nj), k = 1, nk)
        else if (double) then
          write (10) (((xb(i, j, k), i = 1, ni), j = 1, nj), k = 1, nk), &
                     (((yb(i, j, k), i = 1, ni), j = 1, nj), k = 1, nk), &
                     (((zb(i, j, k), i = 1, ni), j = 1, nj), k = 1, nk)
        else if (iblanks) then
          write (10) (((real(xb(i, j, k)), i = 1, ni), j = 1, nj), &
                      k = 1, nk), &
                     (((real(yb(i, j, k)), i = 1, ni), j = 1, nj), &
                      k = 1, nk), &
                     (((real(zb(i, j, k)), i = 1, ni), j = 1, nj), &
                      k = 1, nk), &
                     (((ibb(i, j, k), i = 1, ni), j = 1, nj), k = 1, nk)
        else
          write (10) (((real(xb(i, j, k)), i = 1, ni), j = 1, nj), &
                      k = 1, nk), &
                     (((real(yb(i, j, k)), i = 1, ni), j = 1, nj), &
                      k = 1, nk), &
                     (((real(zb(i, j, k)), i = 1, ni), j = 1, nj), k = 1, nk)
        end if
      end associate
    end do
    if (multi) call put_int('nblocks', [1], [size(x)])
    call put_int('dims', shape(blocks), reshape(blocks, [size(blocks)]))
    if (solution) then
      call put_reals('mach', kind, [size(x), 1], fs(1, :))
      call put_reals('alpha', kind, [size(x), 1], fs(2, :))
      call put_reals('re', kind, [size(x), 1], fs(3, :))
      call put_reals('time', kind, [size(x), 1], fs(4, :))
      call put_blocks('q', kind, q, 4)
    else
      call put_blocks('x', kind, x, 3)
      call put_blocks('y', kind, y, 3)
      call put_blocks('z', kind, z, 3)
      if (iblanks) call put_blocks('iblank', 'int4', ib, 3)
    end if
  end subroutine plot3d

  ! A field of each block (or patch) of the rank given, its dimensions past
  ! the rank the time steps': stacked along the blocks where all are alike,
  ! the blocks' dimension before the steps' (a single block's, trailing, is
  ! dropped); a cell per block where they differ.
  subroutine put_blocks(name, kind, v, rank)
    character(*), intent(in) :: name, kind
    type(box), intent(in) :: v(:)
    integer, intent(in) :: rank
    integer :: b, n, d(4), inner, outer

    d = shape(v(1)%v)
    inner = product(d(:rank))
    outer = product(d(rank + 1:))
    if (all([(all(shape(v(b)%v) == d), b = 1, size(v))])) then
      call put_reals(name, kind, [d(:rank), size(v), d(rank + 1:)], &
                     [((steps_of(v(b)%v, inner, outer, n), b = 1, size(v)), &
                       n = 1, outer)])
    else
      call put_line(name, 'cell', [size(v), 1])
      do b = 1, size(v)
        call put_reals(cell(name, b), kind, shape(v(b)%v), &
                       reshape(v(b)%v, [size(v(b)%v)]))
      end do
    end if
  end subroutine put_blocks

  ! A WPS intermediate file as ungrib writes it (big-endian): three fields
  ! on a latitude-longitude grid, or one on a Lambert conformal one.
  subroutine wps(lambert)
    logical, intent(in) :: lambert
    integer, parameter :: nx = 5, ny = 4
    character(len=24) :: hdate(3) = '2024-01-15_12:00:00'
    character(len=32) :: map_source(3) = 'NCEP GFS'
    character(len=9) :: field(3) = [character(len=9) :: 'TT', 'UU', 'VV']
    character(len=25) :: units(3) = [character(len=25) :: 'K', 'm s-1', &
                                     'm s-1']
    character(len=46) :: desc(3) = [character(len=46) :: 'Temperature', &
                                    'U', 'V']
    character(len=8) :: startloc(3) = 'SWCORNER'
    real :: xfcst(3) = [0.0, 0.0, 3.0], xlvl(3) = [200100.0, 85000.0, 85000.0]
    real :: slab(nx, ny, 3), latlon(5) = [-10.25, 120.5, 0.25, 0.25, 6367.47]
    real :: lambert_proj(8) = [21.138, -122.719, 32.463, 32.463, -95.0, &
                               25.0, 45.0, 6371.229]
    integer :: iproj(3), fields, f, i, minus_one = -1
    logical :: is_wind_grid_rel(3)

    fields = merge(1, 3, lambert)
    iproj = merge(3, 0, lambert)
    if (lambert) then
      field(1) = 'PMSL'; units(1) = 'Pa'; desc(1) = 'Sea-level Pressure'
      xlvl(1) = 201300.0
    end if
    slab = reshape([(value(i) + 273.15, i = 1, size(slab))], shape(slab))
    ! Compilers write .TRUE. as 1 or -1; WPS reads either.
    is_wind_grid_rel = [.false., .true., transfer(minus_one, .true.)]
    if (lambert) is_wind_grid_rel(1) = .true.
    open (10, file='FILE:2024-01-15_12', form='unformatted', &
          convert='big_endian', status='replace')
    do f = 1, fields
      write (10) 5
      write (10) hdate(f), xfcst(f), map_source(f), field(f), units(f), &
                 desc(f), xlvl(f), nx, ny, iproj(f)
      if (lambert) then
        write (10) startloc(f), lambert_proj
      else
        write (10) startloc(f), latlon
      end if
      write (10) is_wind_grid_rel(f)
      write (10) slab(:, :, f)
    end do
    call put_int('version', [fields, 1], [(5, f = 1, fields)])
    call put_chars('hdate', hdate(:fields))
    call put_real4('xfcst', [fields, 1], xfcst(:fields))
    call put_chars('map_source', map_source(:fields))
    call put_chars('field', field(:fields))
    call put_chars('units', units(:fields))
    call put_chars('desc', desc(:fields))
    call put_real4('xlvl', [fields, 1], xlvl(:fields))
    call put_int('nx', [fields, 1], [(nx, f = 1, fields)])
    call put_int('ny', [fields, 1], [(ny, f = 1, fields)])
    call put_int('iproj', [fields, 1], iproj(:fields))
    call put_chars('startloc', startloc(:fields))
    if (lambert) then
      call put_real4('startlat', [1, 1], lambert_proj(1:1))
      call put_real4('startlon', [1, 1], lambert_proj(2:2))
      call put_real4('dx', [1, 1], lambert_proj(3:3))
      call put_real4('dy', [1, 1], lambert_proj(4:4))
      call put_real4('xlonc', [1, 1], lambert_proj(5:5))
      call put_real4('truelat1', [1, 1], lambert_proj(6:6))
      call put_real4('truelat2', [1, 1], lambert_proj(7:7))
      call put_real4('earth_radius', [1, 1], lambert_proj(8:8))
    else
      call put_real4('startlat', [3, 1], [(latlon(1), f = 1, 3)])
      call put_real4('startlon', [3, 1], [(latlon(2), f = 1, 3)])
      call put_real4('deltalat', [3, 1], [(latlon(3), f = 1, 3)])
      call put_real4('deltalon', [3, 1], [(latlon(4), f = 1, 3)])
      call put_real4('earth_radius', [3, 1], [(latlon(5), f = 1, 3)])
    end if
    call put_line('is_wind_grid_rel', 'logical4', [fields, 1])
    write (11, '(Z8.8)') [(transfer(is_wind_grid_rel(f), 0), f = 1, fields)]
    call put_real4('slab', [nx, ny, fields], &
                   reshape(slab(:, :, :fields), [nx * ny * fields]))
  end subroutine wps

  ! The three CHARACTER(30) records that open FDS's slice and boundary files.
  subroutine labels(quantity, short_name, units)
    character(*), intent(in) :: quantity, short_name, units
    character(len=30) :: text(3)
    integer :: r

    text = [character(len=30) :: quantity, short_name, units]
    do r = 1, 3
      write (10) text(r)
    end do
  end subroutine labels

  subroutine put_labels(quantity, short_name, units)
    character(*), intent(in) :: quantity, short_name, units
    character(len=30) :: text(1)

    text = quantity
    call put_chars('quantity', text)
    text = short_name
    call put_chars('short_name', text)
    text = units
    call put_chars('units', text)
  end subroutine put_labels

  ! Values held as doubles, written to the file as the kind given.
  subroutine put_reals(name, kind, dims, v)
    character(*), intent(in) :: name, kind
    integer, intent(in) :: dims(:)
    double precision, intent(in) :: v(:)

    call put_line(name, kind, dims)
    select case (kind)
    case ('real8')
      write (11, '(Z16.16)') transfer(v, [0_8])
    case ('real4')
      write (11, '(Z8.8)') transfer(real(v), [0])
    case default
      write (11, '(Z8.8)') int(v)
    end select
  end subroutine put_reals

  ! The values of step n of a block, its steps the dimensions past the
  ! block's own.
  function steps_of(v, inner, outer, n)
    double precision, intent(in) :: v(:, :, :, :)
    integer, intent(in) :: inner, outer, n
    double precision :: steps_of(inner), flat(inner, outer)

    flat = reshape(v, [inner, outer])
    steps_of = flat(:, n)
  end function steps_of

  function cell(name, k)
    character(*), intent(in) :: name
    integer, intent(in) :: k
    character(len=len(name) + 12) :: cell

    write (cell, '(A, "{", I0, "}")') name, k
  end function cell

  ! As value, but REAL*8 values that REAL*4 holds exactly where k is odd.
  double precision function number(k)
    integer, intent(in) :: k
    number = sqrt(real(k, 8)) * 3.1d0 - 7.7d0 / k
    if (mod(k, 2) == 1) number = real(value(k), 8)
  end function number

end program write_formats
